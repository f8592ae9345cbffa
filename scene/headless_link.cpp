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
    first_failure_.keep(failure);
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

}  // namespace kavrin
