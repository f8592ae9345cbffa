#pragma once
// The one owner of a scene: every frame, and the counters and flags that coordinate building,
// stroke propagation, cache playback and saving, undo and its trimming on the workers.

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include <QMutex>

#include "dynamics/frame_set.h"
#include "base/key_state.h"
#include "base/parallel.h"
#include "dynamics/stroke.h"
#include "scene/stroke_log.h"
#include "scene/window_link.h"
#include "dynamics/frame_host.h"

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

class emitter : public frame_host {
  public:
    // A generated scene (the fountain) is a run of this many frames, 0 onwards.
    static constexpr int generated_frames = 100;
    // Ticks without a pointer move before background work starts: moving the pointer over the
    // viewport keeps the other core free for the stroke.
    static constexpr int default_idle_threshold = 15;
    // Below this much available memory the oldest undo data is dropped, a generation a tick.
    static constexpr double low_memory_bytes = 1024.0 * 1024.0 * 1024.0;

    emitter(bool from_cache, window_link* window);
    ~emitter();

    // Flags and counters: written by the main thread and single workers, read everywhere;
    // readers tolerate a value one tick stale.
    std::atomic<bool> undoing{false};
    std::atomic<bool> near_running{false};
    std::atomic<bool> eat_interrupted{false};
    std::atomic<bool> trim_low_memory{false};  // a trim for lack of memory is unfinished
    std::atomic<bool> trim_running{false};
    std::atomic<int> trim_bound{0};
    std::atomic<int> idle_threshold{default_idle_threshold};
    const std::shared_ptr<QMutex> emitter_lock;  // an undo or one "eat queue" run at a time
    // Orders undo and redo against the trim of each frame; taken after emitter_lock and before a
    // frame's eat lock. Held only briefly, so the GUI thread may wait for it.
    QMutex generation_lock;

    std::deque<propagation_request> near_queue;  // guarded by near_queue_lock
    QMutex near_queue_lock;

    // Particles touched by the stroke in progress: only the stroke worker changes it, and
    // add_near empties it after that worker has finished.
    std::vector<particle*> selection;

    const bool from_cache;
    std::atomic<int> last_frame{0};
    std::atomic<int> first_frame{0};
    std::atomic<int> idle_ticks{0};
    std::atomic<int> frames_to_build{0};
    std::atomic<int> undo_depth{0};
    std::atomic<int> redo_depth{0};  // undone strokes that redo can bring back, in order
    std::atomic<int> frames_to_save{0};
    std::atomic<int> point_count{0};
    std::atomic<float> max_scale{0.0f};

    // Filled by build before any worker runs; afterwards its structure is read-only.
    std::map<int, frame_set> frames;
    const std::shared_ptr<QMutex> frame_lock;  // one cache write or playback at a time

    // The window's modifier keys as the current stroke began.
    std::atomic<key_state> key_copy;
    window_link* const window;  // not owned

    // What was done to this scene since it was made: saved beside a cache, replayed headless.
    stroke_log recorder;

    // The scene's background work (building, queue eating, stroke steps, propagation, trims
    // and the view's pictures); the destructor waits for it.
    job_group jobs;

    // Makes frame number (a frame that exists is kept) and returns it; the scene's frames are
    // made by build before any worker runs.
    frame_set& add_frame(int number);
    // Strict look-up of a frame.
    frame_set& frame(int number);
    const frame_set& frame(int number) const;

    // Frame building and background work.
    void build();
    void mark_for_save();
    void tick();
    void build_particle(const std::vector<int>& keys, int index);
    void eat_queue();
    void clear_queue();
    bool quiet() const;
    bool ready_to_eat();
    bool has_pending_work() const;
    // The frame loop must stop for the user (or because the emitter is going away).
    bool must_stop() const;

    // Strokes. The viewport (GUI thread) sends a stroke step on each qualifying mouse move and
    // calls add_near at release, after the last step has finished.
    // The current frame and every frame a stroke from it reaches can take a stroke step, and no
    // stroke in progress belongs to another frame.
    bool can_paint() const;
    // Sends one "current particle" job when no step is outstanding and can_paint holds; returns
    // whether it did. GUI thread.
    bool send_stroke_step();
    void current_particle();
    // The frames a stroke on frame `around` reaches, nearest first, with their weights.
    near_list_t near_list(bool strict, int around) const;
    void add_near();
    // Esc during a stroke: waits for the last step, then takes the stroke back from its frame as
    // if it had never been drawn; nothing is propagated. GUI thread.
    void cancel_stroke();
    void near_worker();
    void select(const std::vector<particle*>* list);

    // Undo and redo, on the GUI thread: the current frame at once, the others in the background.
    void undo();
    void redo();
    // A stroke that drew on frames this scene does not hold (a scene opened for some frames
    // only): the undo generation it opened and the redo it ended, as its add_near would have.
    void count_stroke_elsewhere();
    void check_memory();
    // Drops the oldest undo entry, of the given depth, of each frame numbers[i] whose entry
    // depths[i] has that depth. Runs on a worker.
    void remove_undo(int depth, const std::vector<int>& depths, const std::vector<int>& numbers);

    // The frames' host: the window's thread count; max_scale raised to extent (when it grows
    // every frame must be redrawn); a frame's first step ends its building.
    int worker_threads() const override;
    void raise_max_scale(float extent) override;
    void first_stepped(frame_set& fs) override;
    failure_listener* job_failures() const override;

  private:
    // A job of this scene: its failures reach the window.
    job_site job(const char* name) const { return {name, window}; }
    // Undo and redo: `change` marks the frames with the background held off, then the current
    // frame catches up at once; logs line.
    void change_history(const char* line, const std::function<void()>& change);
    // A new stroke ends what redo could bring back.
    void clear_redo();
    // Low memory drops the redo data of the first undone generation (when no frame is busy).
    void trim_redo();

    std::atomic<bool> closing_{false};  // set by the destructor: every worker winds down
    // The stroke in progress: its first step fixes its keys and its frame; add_near ends it.
    std::atomic<bool> keys_copied_{false};
    std::atomic<bool> mirror_copy_{false};  // the mirror brush as the stroke began
    std::atomic<int> stroke_frame_{-1};     // frame of the stroke in progress, -1 between strokes
    std::atomic<bool> stroke_drew_{false};  // a step of the stroke in progress brushed particles
};

}  // namespace kavrin
