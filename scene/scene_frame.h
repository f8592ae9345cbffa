#pragma once
// A frame as its scene keeps it: the frame's data and structures, with the scene's bookkeeping
// of it: the undo history and redo data of its strokes, the queue of strokes carried to it from
// other frames, and the flags that schedule its background work. The history unit
// (scene/history.h) and the builder maintain that state; everyone else asks the named questions.

#include <atomic>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "dynamics/frame_set.h"
#include "dynamics/stroke.h"

namespace kavrin {

class emitter;
class scene_history;

// How a question about a frame's lists treats a lock that another thread holds: wait for it,
// count the list as holding work (the GUI thread never waits for a worker), or as holding none.
enum class busy_lock { wait, counts_due, counts_none };

// The frame's undo history, read under its history lock for as long as the hold lives.
class history_hold {
  public:
    const std::deque<stroke>& entries() const { return entries_; }

  private:
    friend class scene_frame;
    history_hold(std::unique_lock<mutex> hold, const std::deque<stroke>& entries)
        : hold_(std::move(hold)), entries_(entries) {}
    std::unique_lock<mutex> hold_;
    const std::deque<stroke>& entries_;
};

class scene_frame : public frame_set {
  public:
    scene_frame(int frame, frame_host* host) : frame_set(frame, host) {}

    // Flags read by the window and the workers of other frames without a lock; readers
    // tolerate a value one tick stale.
    // Holds particles that must be stepped: set once the frame is filled.
    bool needs_step() const { return needs_step_; }
    void mark_filled() { needs_step_ = true; }
    // Target of the stroke propagation in progress.
    bool near_marked() const { return near_marked_; }
    void mark_near(bool marked) { near_marked_ = marked; }
    // Still to be written to the cache being saved.
    bool pending_save() const { return pending_save_; }
    void set_pending_save(bool pending) { pending_save_ = pending; }

    // The history, read whole: waiting for its lock, or (the GUI thread) only when it is free.
    history_hold read_history() const;
    std::optional<history_hold> try_read_history() const;
    // The history for a caller already inside its lock: the trim's report of a dropped entry.
    const std::deque<stroke>& history_held() const { return history_; }
    // Appends an undo entry as the newest.
    void push_history(stroke entry);
    // Whether the newest entry is the stroke being painted at depth (not a taken-back one).
    bool holds_painted_entry(int depth) const;
    // A copy of that entry, when the history holds it.
    std::optional<stroke> painted_entry(int depth) const;

    // The changes the frame's own lists hold: a queued stroke, an undo to revert (the newest
    // entry is undone), a redo asked for.
    bool stroke_queued(busy_lock busy) const;
    bool undo_due(busy_lock busy) const;
    bool redo_due(busy_lock busy) const;
    // Every queued stroke is an undone one (a stroke painted here takes those back first);
    // false while the queue is in use.
    bool queue_holds_only_undone() const;
    // Depth of the next redo to carry out and of the front queued stroke; INT_MAX for none.
    std::pair<int, int> next_change_depths() const;
    // Appends a stroke carried from another frame.
    void queue_stroke(stroke s);

  private:
    // The history unit and the builder keep this state; they take the locks as they need.
    friend class scene_history;
    friend void apply_live_stroke(scene_frame& fs, stroke& s, int depth, stroke* mirrored);
    friend void replay_undo(scene_frame& fs);
    friend void replay_redo(scene_frame& fs);
    friend bool drop_undone_queued(scene_frame& fs);
    friend void apply_queued_stroke(scene_frame& fs);
    friend int build_frame(emitter& e, scene_frame& fs, const std::vector<int>& frame_numbers,
                           int index);

    bool holds_painted_entry_held(int depth) const KAVRIN_REQUIRES(history_lock_);
    // Keeps an undone stroke for a redo, in depth order.
    void keep_for_redo(redo_entry r) KAVRIN_REQUIRES(history_lock_);

    std::atomic<bool> needs_step_{false};
    std::atomic<bool> near_marked_{false};
    std::atomic<bool> pending_save_{false};

    mutable mutex history_lock_;  // guards history_ and redo_
    mutable mutex near_lock_;     // guards near_queue_; taken after history_lock_, if both
    // Undo entries, newest at the back.
    std::deque<stroke> history_ KAVRIN_GUARDED_BY(history_lock_);
    // Strokes undone on this frame that a redo may bring back; by depth, the most recently
    // undone generation at the back.
    std::deque<redo_entry> redo_ KAVRIN_GUARDED_BY(history_lock_);
    // Strokes carried here from other frames, oldest at the front. A worker applies the front
    // one without the lock held, so only the near worker's appends may run meanwhile.
    std::deque<stroke> near_queue_ KAVRIN_GUARDED_BY(near_lock_);

    // The particles as the scene's generator made them, before any step or edit: the next two
    // frames are built from them, so that what the builder makes never depends on when it runs.
    // Only the builder's thread uses it, and it drops it once those frames are built.
    particle_map generated_;
};

}  // namespace kavrin
