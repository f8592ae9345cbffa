#include "scene/scene_frame.h"

#include <algorithm>
#include <climits>

namespace kavrin {

namespace {

// What a question answers when its lock is busy and busy says not to wait.
bool busy_answer(busy_lock busy) {
    return busy == busy_lock::counts_due;
}

}  // namespace

// The hold handed back keeps the lock.
history_hold scene_frame::read_history() const KAVRIN_NO_THREAD_SAFETY_ANALYSIS {
    return {std::unique_lock<mutex>(history_lock_), history_};
}

std::optional<history_hold> scene_frame::try_read_history() const KAVRIN_NO_THREAD_SAFETY_ANALYSIS {
    std::unique_lock<mutex> hold(history_lock_, std::try_to_lock);
    if (!hold.owns_lock()) return std::nullopt;
    return history_hold(std::move(hold), history_);
}

void scene_frame::push_history(stroke entry) {
    mutex_hold hold(history_lock_);
    history_.push_back(std::move(entry));
}

bool scene_frame::holds_painted_entry_held(int depth) const {
    return !history_.empty() && history_.back().depth == depth && !history_.back().undone;
}

bool scene_frame::holds_painted_entry(int depth) const {
    mutex_hold hold(history_lock_);
    return holds_painted_entry_held(depth);
}

std::optional<stroke> scene_frame::painted_entry(int depth) const {
    mutex_hold hold(history_lock_);
    if (!holds_painted_entry_held(depth)) return std::nullopt;
    return history_.back();
}

bool scene_frame::stroke_queued(busy_lock busy) const {
    if (!near_lock_.acquire(busy == busy_lock::wait)) return busy_answer(busy);
    mutex_hold hold(near_lock_, std::adopt_lock);
    return !near_queue_.empty();
}

bool scene_frame::undo_due(busy_lock busy) const {
    if (!history_lock_.acquire(busy == busy_lock::wait)) return busy_answer(busy);
    mutex_hold hold(history_lock_, std::adopt_lock);
    return !history_.empty() && history_.back().undone;
}

bool scene_frame::redo_due(busy_lock busy) const {
    if (!history_lock_.acquire(busy == busy_lock::wait)) return busy_answer(busy);
    mutex_hold hold(history_lock_, std::adopt_lock);
    return !redo_.empty() && redo_.back().due;
}

bool scene_frame::queue_holds_only_undone() const {
    if (!near_lock_.try_lock()) return false;
    mutex_hold hold(near_lock_, std::adopt_lock);
    return std::all_of(near_queue_.begin(), near_queue_.end(),
                       [](const stroke& s) { return s.undone; });
}

std::pair<int, int> scene_frame::next_change_depths() const {
    std::pair<int, int> at{INT_MAX, INT_MAX};
    {
        mutex_hold hold(history_lock_);
        if (!redo_.empty() && redo_.back().due) at.first = redo_.back().entry.depth;
    }
    mutex_hold hold(near_lock_);
    if (!near_queue_.empty()) at.second = near_queue_.front().depth;
    return at;
}

void scene_frame::queue_stroke(stroke s) {
    mutex_hold hold(near_lock_);
    near_queue_.push_back(std::move(s));
}

void scene_frame::keep_for_redo(redo_entry r) {
    r.entry.restore = false;
    auto at = std::find_if(redo_.begin(), redo_.end(),
                           [&r](const redo_entry& e) { return e.entry.depth < r.entry.depth; });
    redo_.insert(at, std::move(r));
}

}  // namespace kavrin
