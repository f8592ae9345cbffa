#include "core/frame_set.h"

namespace kavrin {

frame_set::frame_set(int frame_, emitter* owner_)
    : owner(owner_),
      frame(frame_),
      eat_lock(std::make_shared<QMutex>()),
      geometry_lock(std::make_shared<QMutex>()),
      near_lock(std::make_shared<QMutex>()),
      history_lock(std::make_shared<QMutex>()),
      field_lock(std::make_shared<QMutex>()) {}

void mark_moved(frame_set& fs, particle& p) {
    p.moved = true;
    fs.moved_list.push_back(&p);
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
