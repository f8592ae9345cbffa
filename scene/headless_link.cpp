#include "scene/headless_link.h"

#include <limits>

namespace kavrin {

headless_link::headless_link() {
    scene_clock.start();
    stepping = true;
}

void headless_link::log(const QString& line) {
    if (on_log) on_log(line);
}

void headless_link::job_failed(const job_failure& failure) {
    {
        mutex_hold hold(lock_);
        if (!first_failure_) first_failure_ = failure;
    }
    window_link::job_failed(failure);
}

double headless_link::random() {
    mutex_hold hold(lock_);
    return uniform_(generator_);
}

void headless_link::reseed(unsigned seed) {
    mutex_hold hold(lock_);
    generator_.seed(seed);
    uniform_.reset();
}

double headless_link::available_memory() const {
    return std::numeric_limits<double>::max();
}

std::optional<job_failure> headless_link::first_failure() const {
    mutex_hold hold(lock_);
    return first_failure_;
}

void headless_link::clear_job_failure() {
    mutex_hold hold(lock_);
    first_failure_.reset();
}

}  // namespace kavrin
