#pragma once
// The window of a run without one (kavrin-batch, the Python module, tests): whoever drives the
// scene supplies the brush and camera values, log lines go to a sink of the driver's choice, and
// the undo history is trimmed only when a replayed log says so.

#include <functional>
#include <optional>
#include <random>

#include <QString>

#include "base/first_kept.h"
#include "base/mutex.h"
#include "scene/window_link.h"

namespace kavrin {

class headless_link : public window_link {
  public:
    headless_link();

    // Set and read on the driver's thread only (a stroke step is sent a copy), so no lock
    // guards them.
    brush_values brush_state;
    camera_values camera_state;
    // Receives every log line; set before any work starts, only read afterwards. Called on any
    // thread.
    std::function<void(const QString&)> on_log;

    brush_values brush() const override { return brush_state; }
    camera_values camera() const override { return camera_state; }
    void log(const QString& line) override;
    double random() override;
    // Restarts the draws of random(): a scene generated after the same seed is the same scene.
    void reseed(unsigned seed);
    // Ample: trims follow the log being replayed, not the memory of the machine replaying it.
    double available_memory() const override;

    // Records the first failure and logs it.
    void job_failed(const job_failure& failure) override;
    // The first failed job since the last clear, if any. A failed job leaves its work undone,
    // and a driver waiting for that work must stop instead.
    std::optional<job_failure> first_failure() const { return first_failure_.get(); }
    void clear_job_failure() { first_failure_.clear(); }

  private:
    mutable mutex lock_;  // guards the generator
    std::mt19937 generator_ KAVRIN_GUARDED_BY(lock_){1};
    std::uniform_real_distribution<double> uniform_ KAVRIN_GUARDED_BY(lock_){0.1, 1.0};
    first_kept<job_failure> first_failure_;
};

}  // namespace kavrin
