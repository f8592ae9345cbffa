#include "scene/scene_frame.h"

#include <algorithm>
#include <climits>

namespace kavrin {

namespace {

// Evaluates test under lock, treating a busy lock as busy says.
template <class Test>
bool under_lock(QMutex& lock, busy_lock busy, Test test) {
    std::unique_lock<QMutex> hold(lock, std::defer_lock);
    if (busy == busy_lock::wait)
        hold.lock();
    else if (!hold.try_lock())
        return busy == busy_lock::counts_due;
    return test();
}

}  // namespace

history_hold scene_frame::read_history() const {
    return {std::unique_lock<QMutex>(history_lock_), history_};
}

std::optional<history_hold> scene_frame::try_read_history() const {
    std::unique_lock<QMutex> hold(history_lock_, std::try_to_lock);
    if (!hold.owns_lock()) return std::nullopt;
    return history_hold(std::move(hold), history_);
}

void scene_frame::push_history(stroke entry) {
    QMutexLocker hold(&history_lock_);
    history_.push_back(std::move(entry));
}

bool scene_frame::holds_painted_entry_held(int depth) const {
    return !history_.empty() && history_.back().depth == depth && !history_.back().undone;
}

bool scene_frame::holds_painted_entry(int depth) const {
    QMutexLocker hold(&history_lock_);
    return holds_painted_entry_held(depth);
}

std::optional<stroke> scene_frame::painted_entry(int depth) const {
    QMutexLocker hold(&history_lock_);
    if (!holds_painted_entry_held(depth)) return std::nullopt;
    return history_.back();
}

bool scene_frame::stroke_queued(busy_lock busy) const {
    return under_lock(near_lock_, busy, [&] { return !near_queue_.empty(); });
}

bool scene_frame::undo_due(busy_lock busy) const {
    return under_lock(history_lock_, busy,
                      [&] { return !history_.empty() && history_.back().undone; });
}

bool scene_frame::redo_due(busy_lock busy) const {
    return under_lock(history_lock_, busy, [&] { return !redo_.empty() && redo_.back().due; });
}

bool scene_frame::queue_holds_only_undone() const {
    std::unique_lock<QMutex> hold(near_lock_, std::try_to_lock);
    return hold.owns_lock() && std::all_of(near_queue_.begin(), near_queue_.end(),
                                           [](const stroke& s) { return s.undone; });
}

std::pair<int, int> scene_frame::next_change_depths() const {
    std::pair<int, int> at{INT_MAX, INT_MAX};
    {
        QMutexLocker hold(&history_lock_);
        if (!redo_.empty() && redo_.back().due) at.first = redo_.back().entry.depth;
    }
    QMutexLocker hold(&near_lock_);
    if (!near_queue_.empty()) at.second = near_queue_.front().depth;
    return at;
}

void scene_frame::queue_stroke(stroke s) {
    QMutexLocker hold(&near_lock_);
    near_queue_.push_back(std::move(s));
}

void scene_frame::keep_for_redo(redo_entry r) {
    r.entry.restore = false;
    auto at = std::find_if(redo_.begin(), redo_.end(),
                           [&r](const redo_entry& e) { return e.entry.depth < r.entry.depth; });
    redo_.insert(at, std::move(r));
}

}  // namespace kavrin
