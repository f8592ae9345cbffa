#include "scene/headless_link.h"

#include <limits>

namespace kavrin {

headless_link::headless_link() {
    scene_clock.start();
    stepping = true;
}

void headless_link::log(const QString& line) {
    if (line.startsWith("job error / ")) {
        QMutexLocker hold(&lock_);
        if (job_failure_.isEmpty()) job_failure_ = line;
    }
    if (on_log) on_log(line);
}

double headless_link::random() {
    QMutexLocker hold(&lock_);
    return uniform_(generator_);
}

void headless_link::reseed(unsigned seed) {
    QMutexLocker hold(&lock_);
    generator_.seed(seed);
    uniform_.reset();
}

double headless_link::available_memory() const {
    return std::numeric_limits<double>::max();
}

QString headless_link::job_failure() const {
    QMutexLocker hold(&lock_);
    return job_failure_;
}

void headless_link::clear_job_failure() {
    QMutexLocker hold(&lock_);
    job_failure_.clear();
}

}  // namespace kavrin
