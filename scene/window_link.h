#pragma once
// What the emitter and its workers need of the main window. The window implements it; tests use
// a plain fake. Values that workers read while the GUI thread writes them are atomics: a value
// one tick stale is fine, a torn one is not.

#include <atomic>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include <QEasingCurve>
#include <QElapsedTimer>
#include <QString>

#include "base/brush_kind.h"
#include "base/key_state.h"
#include "base/mutex.h"
#include "base/parallel.h"
#include "base/thread_annotations.h"
#include "base/vec3.h"

namespace kavrin {

class emitter;
struct stroke;

// Brush values that a stroke copies when it is made.
struct brush_values {
    brush_kind type = brush_kind::grab;
    float power = 1.0f;
    float time = 1.0f;
    float space = 0.1f;
    vec3 vector;
    int near_curve = QEasingCurve::InOutSine;    // easing of the weights across frames
    int select_curve = QEasingCurve::InOutSine;  // easing of the brush falloff
};

// Camera values that a stroke reads.
struct camera_values {
    float focal_mag = 3.0f;
    float brush_distance = 3.0f;  // focal_mag, or the scene camera's distance to the frame
    vec3 position{0.0f, 0.0f, 3.0f};
    bool scene_view = false;  // looking through the imported scene camera
    vec3 scene_eye;           // that camera's eye at the current frame
};

// Stroke state of the viewport, shared between the GUI thread and the stroke worker.
struct viewport_flags {
    std::atomic<bool> hit{false};          // the last pick hit the current frame
    std::atomic<bool> drag_active{false};  // a camera drag or a stroke is held
    std::atomic<bool> busy{false};         // a "current particle" job is outstanding
    std::atomic<int> stroke_steps{0};      // "current particle" jobs finished in this stroke

    vec3 pick_point() const {
        mutex_hold hold(pick_lock_);
        return pick_point_;
    }
    void set_pick_point(const vec3& p) {
        mutex_hold hold(pick_lock_);
        pick_point_ = p;
    }

  private:
    mutable mutex pick_lock_;  // written on mouse moves during a job
    vec3 pick_point_ KAVRIN_GUARDED_BY(pick_lock_);
};

class window_link : public failure_listener {
  public:
    virtual ~window_link() = default;

    std::atomic<int> current_frame{0};
    std::atomic<int> cpu_count{1};         // worker threads of every parallel job
    std::atomic<int> on_eat{0};            // 1 suspends background work
    std::atomic<int> generation_scale{1};  // particles emitted per frame by a new scene
    std::atomic<bool> stepping{false};     // an emitter exists and is ticked
    viewport_flags view;

    // Cache file of each frame: filled on the GUI thread before scene work starts, then only
    // read by the workers.
    std::map<int, QString> cache_files;
    // The file each frame of the scene was read from, kept while cache_files names a save's
    // files, so that the save writes back what those files held. Same threading as cache_files.
    std::map<int, QString> source_files;
    // Started when the scene was created; only the GUI thread reads it.
    QElapsedTimer scene_clock;

    // Modifier keys as the window last saw them.
    key_state keys() const {
        mutex_hold hold(key_lock_);
        return key_map_;
    }
    // The keys, unless another thread is changing them just now.
    std::optional<key_state> try_keys() const {
        if (!key_lock_.try_lock()) return std::nullopt;
        mutex_hold hold(key_lock_, std::adopt_lock);
        return key_map_;
    }
    void set_key(const char* name, bool held) {
        mutex_hold hold(key_lock_);
        key_map_.set(name, held);
    }
    // Replaces the keys by now; the keys as they were.
    key_state exchange_keys(const key_state& now) {
        mutex_hold hold(key_lock_);
        return std::exchange(key_map_, now);
    }

    virtual brush_values brush() const = 0;
    virtual camera_values camera() const = 0;
    // Appends one line to the debug log; callable from any thread.
    virtual void log(const QString& line) = 0;
    // A job of the scene failed; logs its line. Callable from any thread.
    void job_failed(const job_failure& failure) override { log(failure.log_line()); }
    // A result or a problem the artist should see (saved frames, dropped particles, skipped
    // files), besides its log line. Callable from any thread; a host without a display may
    // ignore it.
    virtual void tell(const QString& /*message*/) {}
    // A draw in [0.1, 1.0) from the window's generator; callable from any thread.
    virtual double random() = 0;
    // Writes frame f of e to cache_files[f], or fills it from there. Called on workers.
    virtual void write_cache_frame(emitter& e, int frame) = 0;
    virtual void read_cache_frame(emitter& e, int frame) = 0;
    // Available physical memory in bytes.
    virtual double available_memory() const;
    // Work that the host may wait for began (a stroke's propagation), or no work of the scene is
    // left (told at every tick while none is). Called on the thread that ticks the scene; a host
    // without a panel may ignore them.
    virtual void work_started() {}
    virtual void work_ended() {}
    // The background changed a frame's particles. Callable from any thread.
    virtual void frame_changed() {}
    // The scene is going away, its workers ended: what the host keeps for its frames must go.
    virtual void scene_closing() {}
    // Low memory dropped the oldest undo entry of a frame: that change can no longer be undone.
    // Called on a worker, with the history's generation lock and the frame's eat and history
    // locks held, just before the drop.
    virtual void undo_trimmed(int /*frame*/, const stroke& /*dropped*/) {}

  private:
    mutable mutex key_lock_;
    key_state key_map_ KAVRIN_GUARDED_BY(key_lock_) = key_state::released();
};

// MemAvailable of /proc/meminfo in bytes (sysinfo's free RAM when that is missing).
double system_available_memory();
// Total physical memory in bytes.
double system_total_memory();

}  // namespace kavrin
