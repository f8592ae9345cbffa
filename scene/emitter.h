#pragma once
// The one owner of a scene: every frame, its history, and the counters and flags that coordinate
// building, stroke propagation, cache playback and saving on the workers, behind questions named
// for what the window, the replay and the sessions ask of it.
//
// Lock order, outermost first; a thread holding one may take only those after it:
//   emitter lock (an undo, a cancel, a set of values or one "eat queue" run at a time)
//   -> the history's generation lock (a depth change against each frame's trim)
//   -> a frame's eat lock (every change of its particles)
//   -> the frame lock (one cache write or playback at a time)
//   -> a frame's history lock -> its near lock (both at once only in a redo trim, by try-lock)
//   -> the stroke log's lock.
// The near queue lock is taken with no other held and takes none.

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "base/key_state.h"
#include "base/parallel.h"
#include "base/mutex.h"
#include "dynamics/frame_host.h"
#include "dynamics/stroke.h"
#include "scene/history.h"
#include "scene/scene_frame.h"
#include "scene/stroke_log.h"
#include "scene/window_link.h"

namespace kavrin {

// One frame that a stroke reaches and the weight it gets there.
struct near_entry {
    int frame;
    float weight;
};
using near_list_t = std::vector<near_entry>;

// A finished stroke waiting for the "add near" worker: the stroke, the frames it reaches and the
// painted frame's particles that the stroke recorded, as the stroke left them.
struct propagation_request {
    stroke painted;
    near_list_t near;
    particle_map source;
};

// What the scene's background is doing, as the status line shows it: the first that applies of
// building (or loading), saving, spreading a stroke, reverting an undo and redoing. Building and
// saving count frames: `done` of `total`.
struct scene_progress {
    enum class activity { none, building, saving, spreading_stroke, reverting_undo, redoing };
    activity what = activity::none;
    int done = 0, total = 0;
    int left() const { return total - done; }
};

class emitter : public frame_host {
  public:
    // A generated scene (the fountain) is a run of this many frames, 0 onwards.
    static constexpr int generated_frames = 100;
    // Ticks without a pointer move before background work starts: moving the pointer over the
    // viewport keeps the other core free for the stroke.
    static constexpr int default_idle_threshold = 15;

    emitter(bool from_cache, window_link* window);
    ~emitter();

    const bool from_cache;
    // The play range: the window sets it from its range fields; build sets it to the scene's.
    std::atomic<int> last_frame{0};
    std::atomic<int> first_frame{0};

    // Filled by build before any worker runs; afterwards its structure is read-only, so it needs
    // no lock (each frame guards its own fields).
    std::map<int, scene_frame> frames;

    window_link* const window;  // not owned

    // What was done to this scene since it was made: saved beside a cache, replayed headless.
    // It guards itself.
    stroke_log recorder;

    // The scene's background work (building, queue eating, stroke steps, propagation, trims
    // and the view's pictures); the destructor waits for it. It guards itself.
    job_group jobs;

    // Makes frame number (a frame that exists is kept) and returns it; the scene's frames are
    // made by build before any worker runs.
    scene_frame& add_frame(int number);
    // Strict look-up of a frame.
    scene_frame& frame(int number);
    const scene_frame& frame(int number) const;

    // Questions about the background. Each reads flags that may be a tick stale.
    // Every frame is built and the build has been reported.
    bool built() const { return frames_to_build_ == -1; }
    // Frames marked for saving are still to be written.
    bool saving() const { return frames_to_save_ > 0; }
    // A finished stroke is still being carried to the frames it reaches.
    bool spreading() const;
    // An undo, a cancel or a set of values holds the background off the frames.
    bool background_held() const { return undoing_; }
    // Anything is left to do: the build unreported, a propagation, a trim, a save, a held
    // background, a stroke step, work pending on a frame or a queue eater still running.
    bool busy() const;
    scene_progress progress() const;

    // Particles of every frame, and the largest extent a step measured: the view sizes its
    // points by them.
    int point_count() const { return point_count_; }
    float max_scale() const { return max_scale_; }

    // The ticks without user activity before background work starts.
    int idle_threshold() const { return idle_threshold_; }
    void set_idle_threshold(int ticks) { idle_threshold_ = ticks; }
    // The user moved over the viewport: background work waits idle_threshold ticks again.
    void note_user_activity() { idle_ticks_ = 0; }

    // Frame building and background work: build makes the frames and starts their filling,
    // mark_for_save starts writing the cache files, and each tick of the frame timer starts an
    // "eat queue" run when the user is idle and a frame has work.
    void build();
    void mark_for_save();
    void tick();
    bool has_pending_work() const;
    // The frame loop must stop for the user (or because the emitter is going away).
    bool must_stop() const;
    // A frame was filled, built or played back, with `particles` particles: they count to the
    // scene's total, and an empty frame (never stepped) counts as built.
    void count_filled(int particles);
    // Runs change with the background held off the frames: workers stop at their next test and
    // no "eat queue" runs meanwhile. GUI thread.
    void hold_background(const std::function<void()>& change);

    // Strokes. The viewport (GUI thread) sends a stroke step on each qualifying mouse move and
    // calls add_near at release, after the last step has finished.
    // The stroke buttons are the window's, not the host's: each call takes them as they are now
    // (all up when left out).
    // The current frame and every frame a stroke from it reaches can take a stroke step, and no
    // stroke in progress belongs to another frame.
    bool can_paint(const stroke_buttons& buttons = {}) const;
    // The inputs a stroke step takes, as the window holds them now. GUI thread.
    step_inputs live_step_inputs(const stroke_buttons& buttons = {}) const;
    // Sends one "current particle" job with the window's inputs as they are now, or with `in`,
    // when no step is outstanding and a stroke with those inputs can paint; returns whether it
    // did. GUI thread.
    bool send_stroke_step(const stroke_buttons& buttons = {});
    bool send_stroke_step(const step_inputs& in);
    // One stroke step, which reads the window through `in` only. The first step of a stroke
    // fixes its frame, keys and mirror.
    void current_particle(const step_inputs& in);
    // The frames a stroke on frame `around` reaches, nearest first, with their weights.
    near_list_t near_list(bool strict, int around, const stroke_buttons& buttons = {}) const;
    // The release: ends the stroke, whose reach the side buttons stretch, and propagates it.
    void add_near(const stroke_buttons& buttons = {});
    // Esc during a stroke: waits for the last step, then takes the stroke back from its frame as
    // if it had never been drawn; nothing is propagated. GUI thread.
    void cancel_stroke();
    void select(const std::vector<particle*>* list);
    // Particles touched by the stroke in progress.
    const std::vector<particle*>& selection() const { return selection_; }
    // The window's modifier keys as the current stroke began.
    key_state stroke_keys() const { return key_copy_; }

    // The scene's undo generations; undo and redo are the window's keys.
    scene_history& history() { return history_; }
    const scene_history& history() const { return history_; }
    void undo() { history_.undo(); }
    void redo() { history_.redo(); }

    // The frames' host: the window's thread count; max_scale raised to extent (when it grows
    // every frame must be redrawn); a frame's first step ends its building.
    int worker_threads() const override;
    void raise_max_scale(float extent) override;
    void first_stepped(frame_set& fs) override;
    failure_listener* job_failures() const override;

  private:
    // The history and a frame's work loop are parts of the scene: they post its jobs and read
    // and set its counters directly.
    friend class scene_history;
    friend bool process(emitter& e, scene_frame& fs);

    // A job of this scene: its failures reach the window.
    job_site job(const char* name) const { return {name, window}; }

    // The workers' side of building, queue eating and propagation.
    void build_particle(const std::vector<int>& keys, int index);
    void eat_queue();
    void clear_queue();
    // The user is idle and nothing holds the background off: an "eat queue" run may start.
    bool quiet() const;
    // quiet, and no run was interrupted since the last began; marks one interrupted otherwise.
    bool ready_to_eat();
    void near_worker();
    // can_paint and near_list for a stroke with the given inputs rather than the window's.
    bool can_paint(const step_inputs& in) const;
    near_list_t near_list(bool strict, int around, const brush_values& brush, bool side_left,
                          bool side_right) const;

    // Flags and counters: written by the main thread and single workers, read everywhere;
    // readers tolerate a value one tick stale.
    std::atomic<bool> closing_{false};  // set by the destructor: every worker winds down
    std::atomic<bool> undoing_{false};  // set by hold_background
    std::atomic<bool> near_running_{false};
    std::atomic<bool> eat_interrupted_{false};
    std::atomic<int> idle_threshold_{default_idle_threshold};
    std::atomic<int> idle_ticks_{0};
    std::atomic<int> frames_to_build_{0};  // -1 once the build is reported
    std::atomic<int> frames_to_save_{0};
    std::atomic<int> frames_marked_for_save_{0};
    std::atomic<int> point_count_{0};  // raised by count_filled
    std::atomic<float> max_scale_{0.0f};

    // An undo, a cancel, a set of values or one "eat queue" run at a time.
    mutable mutex emitter_lock_;
    mutex frame_lock_;  // one cache write or playback at a time

    mutable mutex near_queue_lock_;
    std::deque<propagation_request> near_queue_ KAVRIN_GUARDED_BY(near_queue_lock_);

    // Particles touched by the stroke in progress: only the stroke worker changes it, and
    // add_near empties it after that worker has finished.
    std::vector<particle*> selection_;
    std::atomic<key_state> key_copy_;  // the modifier keys as the current stroke began

    // The stroke in progress: its first step fixes its keys and its frame; add_near ends it.
    std::atomic<bool> keys_copied_{false};
    std::atomic<bool> mirror_copy_{false};  // the mirror brush as the stroke began
    std::atomic<int> stroke_frame_{-1};     // frame of the stroke in progress, -1 between strokes
    std::atomic<bool> stroke_drew_{false};  // a step of the stroke in progress brushed particles

    scene_history history_;
};

}  // namespace kavrin
