#pragma once
// The history of a scene: its undo generations, undo and redo across every frame, and the trims
// that drop old undo data when memory runs low. Below it, a frame's own history of strokes: the
// entry of the stroke being painted, the undo records of carried strokes, and their revert and
// redo. The lists live in each scene_frame, under its history and near locks.

#include <atomic>
#include <functional>
#include <map>
#include <vector>

#include "base/mutex.h"
#include "dynamics/stroke.h"

namespace kavrin {

class emitter;
class scene_frame;

// The undo generations of one scene: a stroke that drew, or values a script set, opens one; undo
// takes the newest back on every frame and redo brings it back. Owned by its emitter.
class scene_history {
  public:
    // Below this much available memory the oldest undo data is dropped, a generation a tick.
    static constexpr double low_memory_bytes = 1024.0 * 1024.0 * 1024.0;

    explicit scene_history(emitter& scene) : scene_(scene) {}

    // Generations that undo can take back, and undone ones that redo can bring back, in order.
    int undo_depth() const { return undo_depth_; }
    int redo_depth() const { return redo_depth_; }
    // A "remove undo" job is running.
    bool trimming() const { return trim_running_; }

    // Undo and redo, on the GUI thread: the current frame at once, the others in the background.
    // Refused (nothing changes) while a stroke is painted or propagated, or a cache is written.
    void undo();
    void redo();
    // A change that opens a generation, whether or not this scene holds a frame it changed (a
    // scene opened for some frames only): what redo could bring back ends, the undo depth grows.
    void open_generation();
    // One tick's look at memory: when it is low, redo data goes first, then the oldest undo
    // generation in a "remove undo" job; an unfinished trim for lack of memory is carried on.
    void check_memory();
    // Drops the oldest undo entry, of the given depth, of each frame numbers[i] whose entry
    // depths[i] has that depth. Runs on a worker.
    void remove_undo(int depth, const std::vector<int>& depths, const std::vector<int>& numbers);

  private:
    // Undo and redo: `change` marks the frames with the background held off, then the current
    // frame catches up at once; logs line.
    void change_history(const char* line, const std::function<void()>& change);
    // A new generation ends what redo could bring back.
    void clear_redo();
    // Low memory drops the redo data of the first undone generation (when no frame is busy).
    void trim_redo();
    // Visits each frame's queued strokes, then its history with its redo data, each under its
    // lock.
    template <class Queued, class Kept>
    static void visit_strokes(std::map<int, scene_frame>& frames, Queued queued, Kept kept);

    emitter& scene_;
    // Written on the GUI thread (undo, redo, a new generation) and by a redo trim, which the
    // memory check runs on the GUI thread too; workers read them.
    std::atomic<int> undo_depth_{0};
    std::atomic<int> redo_depth_{0};
    std::atomic<bool> trim_low_memory_{false};  // a trim for lack of memory is unfinished
    std::atomic<bool> trim_running_{false};     // set by check_memory, cleared by its job
    std::atomic<int> trim_bound_{0};            // the depth the last trim run dropped
    // Orders undo and redo against the trim of each frame: a depth change, its log line and its
    // marks are one step to a trim. Taken after the emitter lock and before a frame's eat lock;
    // held only briefly, so the GUI thread may wait for it.
    mutex generation_lock_;
};

// The stroke being painted at undo depth `depth`, and with the mirror brush its mirrored side:
// both go into the frame's newest history entry, then the frame is stepped once.
void apply_live_stroke(scene_frame& fs, stroke& s, int depth, stroke* mirrored = nullptr);
// Reverts the newest history entry; a redoable one is kept for a redo.
void replay_undo(scene_frame& fs);
// Brings back the frame's most recently undone stroke when a redo asked for it.
void replay_redo(scene_frame& fs);
// Drops an undone stroke from the front of the queue (kept for a redo when it may be redone);
// false when the front is not undone.
bool drop_undone_queued(scene_frame& fs);
// Applies the stroke at the front of the frame's queue (one carried from another frame) and
// records what it changed as the frame's newest history entry.
void apply_queued_stroke(scene_frame& fs);

}  // namespace kavrin
