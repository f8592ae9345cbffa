#include "dynamics/frame_set.h"

#include <algorithm>

#include "dynamics/frame_host.h"

namespace kavrin {

frame_set::frame_set(int frame_, frame_host* host_) : host(host_), frame(frame_) {}

int worker_count(const frame_set& fs) {
    return fs.host ? std::max(1, fs.host->worker_threads()) : 1;
}

job_site frame_job(const frame_set& fs, const char* name) {
    return {name, fs.host ? fs.host->job_failures() : nullptr};
}

const std::array<vec3, 27>& stencil() {
    static const std::array<vec3, 27> offsets = [] {
        std::array<vec3, 27> s;
        int n = 0;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                for (int k = 0; k < 3; ++k)
                    s[n++] = vec3(float(i - 1), float(j - 1), float(k - 1));
        return s;
    }();
    return offsets;
}

}  // namespace kavrin
