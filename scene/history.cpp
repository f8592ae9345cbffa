#include "scene/history.h"

#include <algorithm>
#include <deque>
#include <mutex>

#include "base/scope_exit.h"
#include "base/strict.h"
#include "dynamics/deform.h"
#include "dynamics/frame_step.h"
#include "scene/emitter.h"
#include "scene/frame_schedule.h"
#include "scene/scene_frame.h"

namespace kavrin {

void apply_live_stroke(scene_frame& fs, stroke& s, int depth, stroke* mirrored) {
    {
        mutex_hold hold(fs.history_lock_);
        // The stroke being painted owns the newest entry of its depth; a taken-back one is
        // never extended.
        if (!fs.holds_painted_entry_held(depth)) {
            stroke entry = s;
            entry.particles.clear();
            fs.history_.push_back(std::move(entry));
        }
        stroke& newest = fs.history_.back();
        for (stroke* side : {&s, mirrored}) {
            if (!side) continue;
            for (particle* p : side->particles)
                if (!newest.recorded.count(p->id)) newest.particles.push_back(p);
            newest.record(side->particles, false);
        }
    }
    apply_stroke(fs, s);
    if (mirrored) apply_stroke(fs, *mirrored);
    step(fs, false, false);
}

void replay_undo(scene_frame& fs) {
    // The history lock is held throughout, so a trim cannot drop the entry being replayed.
    mutex_hold hold(fs.history_lock_);
    if (fs.history_.empty()) return;
    stroke& s = fs.history_.back();
    // The entry leaves the history however the replay ends, so a bad entry cannot block the
    // frame's queue for good.
    struct drop_newest {
        std::deque<stroke>& history;
        ~drop_newest() { history.pop_back(); }
    } drop{fs.history_};
    s.restore = true;
    s.particles.clear();
    s.particles.reserve(s.recorded.size());
    for (const auto& [id, value] : s.recorded)
        s.particles.push_back(&strict_at(fs.particles, id, "the frame's particles"));
    // What the stroke gave each particle, for a redo to give it back.
    std::unordered_map<int32_t, stroke_value> after;
    if (s.redoable) {
        after.reserve(s.particles.size());
        for (const particle* p : s.particles)
            after.try_emplace(p->id, s.value_of(*p));
    }
    apply_stroke(fs, s);
    if (s.redoable) {
        s.particles.clear();
        fs.keep_for_redo({s, false, false, std::move(after)});
    }
}

void replay_redo(scene_frame& fs) {
    mutex_hold hold(fs.history_lock_);
    if (fs.redo_.empty() || !fs.redo_.back().due) return;
    redo_entry r = std::move(fs.redo_.back());
    fs.redo_.pop_back();
    r.entry.undone = r.entry.redoable = false;
    if (r.queued) {
        // It never reached this frame: it goes through the queue as it would have, in depth
        // order among the strokes waiting there, so the history keeps its order.
        hold.unlock();
        mutex_hold queue(fs.near_lock_);
        const int depth = r.entry.depth;
        fs.near_queue_.insert(std::find_if(fs.near_queue_.begin(), fs.near_queue_.end(),
                                           [depth](const stroke& s) { return s.depth > depth; }),
                              std::move(r.entry));
        return;
    }
    for (const auto& [id, value] : r.after) {
        particle& p = strict_at(fs.particles, id, "the frame's particles");
        r.entry.assign(p, value);
        p.changed = true;
        fs.mark_moved(p);
    }
    fs.settled = false;
    fs.history_.push_back(std::move(r.entry));
}

bool drop_undone_queued(scene_frame& fs) {
    stroke dropped;
    {
        mutex_hold queue(fs.near_lock_);
        if (fs.near_queue_.empty() || !fs.near_queue_.front().undone) return false;
        dropped = std::move(fs.near_queue_.front());
        fs.near_queue_.pop_front();
    }
    if (dropped.redoable) {
        mutex_hold hold(fs.history_lock_);
        fs.keep_for_redo({std::move(dropped), true, false, {}});
    }
    return true;
}

void apply_queued_stroke(scene_frame& fs) {
    if (drop_undone_queued(fs)) return;
    stroke* front = nullptr;
    {
        // The near worker appends meanwhile; the front element itself stays where it is.
        mutex_hold hold(fs.near_lock_);
        if (fs.near_queue_.empty()) return;
        front = &fs.near_queue_.front();
    }
    stroke& s = *front;
    // The front entry leaves the queue however its application ends.
    struct drop_front {
        scene_frame& fs;
        ~drop_front() {
            mutex_hold hold(fs.near_lock_);
            fs.near_queue_.pop_front();
        }
    } drop{fs};
    // Before-values of the particles the stroke may change, for the undo record.
    std::vector<stroke_value> before;
    if (!s.restore) {
        before.reserve(s.particles.size());
        for (const particle* p : s.particles)
            before.push_back(s.value_of(*p));
    }
    apply_stroke(fs, s);
    if (!s.restore) {
        stroke entry = s;
        entry.recorded.clear();
        for (size_t i = 0; i < s.particles.size(); ++i) {
            particle* p = s.particles[i];
            if (!p->changed) continue;
            p->changed = false;
            entry.recorded.try_emplace(p->id, before[i]);
        }
        mutex_hold hold(fs.history_lock_);
        fs.history_.push_back(std::move(entry));
    }
}

// ---- The scene's generations ----

template <class Queued, class Kept>
void scene_history::visit_strokes(std::map<int, scene_frame>& frames, Queued queued, Kept kept) {
    for (auto& [number, fs] : frames) {
        {
            mutex_hold queue(fs.near_lock_);
            queued(fs.near_queue_);
        }
        mutex_hold history(fs.history_lock_);
        kept(fs.history_, fs.redo_);
    }
}

namespace {

// The entry a trim may drop: the oldest of the history, unless an undo is still to revert it
// (undone entries stay for the queue eater) or it is the stroke being painted.
const stroke* trimmable(const scene_frame& fs, int undo_depth) {
    const std::deque<stroke>& history = fs.history_held();
    if (history.empty()) return nullptr;
    const stroke& oldest = history.front();
    return oldest.undone || oldest.depth >= undo_depth ? nullptr : &oldest;
}

}  // namespace

void scene_history::change_history(const char* line, const std::function<void()>& change) {
    window_link& window = *scene_.window;
    // Refused while a stroke is painted or propagated, or while a cache is written (its files
    // would hold the change on some frames and not on others).
    if (scene_.spreading() || window.view.drag_active || window.view.busy || scene_.saving())
        return;
    scene_.note_user_activity();
    scene_.hold_background([&] {
        {
            // The depth change, its log line and its marks are one step to a trim.
            mutex_hold ordered(generation_lock_);
            change();
        }
        // The current frame catches up at once, the others in the background. A scene opened
        // for some frames only may not hold the frame the change was made on.
        if (const auto held = scene_.frames.find(window.current_frame);
            held != scene_.frames.end()) {
            const std::unique_lock<mutex> eating = held->second.hold_particles();
            while (next_change(held->second, false, false)) {
            }
        }
    });
    window.log(line);
}

void scene_history::undo() {
    if (undo_depth_ < 1) return;
    change_history("undo", [this] {
        const int depth = --undo_depth_;
        ++redo_depth_;
        scene_.recorder.undo(scene_.window->current_frame);
        // Every stroke of the undone generation is marked, queued or applied, and a redo of it
        // that has not been carried out yet is called off.
        auto mark = [depth](std::deque<stroke>& strokes) {
            for (auto it = strokes.rbegin(); it != strokes.rend() && it->depth >= depth; ++it)
                if (!it->undone) it->undone = it->redoable = true;
        };
        visit_strokes(scene_.frames, mark,
                      [&](std::deque<stroke>& history, std::deque<redo_entry>& redo) {
                          mark(history);
                          for (redo_entry& r : redo)
                              if (r.entry.depth >= depth) r.due = false;
                      });
    });
}

void scene_history::redo() {
    if (redo_depth_ < 1) return;
    change_history("redo", [this] {
        const int depth = undo_depth_++;  // the most recently undone generation
        --redo_depth_;
        scene_.recorder.redo(scene_.window->current_frame);
        // Where the undo has not been carried out yet, calling it off is the whole redo; where
        // it has, the frame's worker brings the stroke back.
        auto call_off = [depth](std::deque<stroke>& strokes) {
            for (stroke& s : strokes)
                if (s.depth == depth && s.redoable) s.undone = s.redoable = false;
        };
        visit_strokes(scene_.frames, call_off,
                      [&](std::deque<stroke>& history, std::deque<redo_entry>& redo) {
                          call_off(history);
                          for (redo_entry& r : redo)
                              if (r.entry.depth == depth) r.due = true;
                      });
    });
}

void scene_history::open_generation() {
    clear_redo();
    ++undo_depth_;
}

void scene_history::clear_redo() {
    redo_depth_ = 0;
    visit_strokes(
        scene_.frames,
        [](std::deque<stroke>& queued) {
            // Only undone strokes: the front one that a worker may be applying is never undone.
            for (stroke& s : queued)
                if (s.undone) s.redoable = false;
        },
        [](std::deque<stroke>& history, std::deque<redo_entry>& redo) {
            // A redo already asked for is the frame's pending work, not something redo could
            // still bring back: dropping it would lose the stroke wherever the background had
            // not yet carried it out.
            redo.erase(std::remove_if(redo.begin(), redo.end(),
                                      [](const redo_entry& r) { return !r.due; }),
                       redo.end());
            for (auto it = history.rbegin(); it != history.rend() && it->undone; ++it)
                it->redoable = false;
        });
}

// Holds every frame's history and near locks at once, a set the analysis cannot name.
void scene_history::trim_redo() KAVRIN_NO_THREAD_SAFETY_ANALYSIS {
    const int count = redo_depth_;
    const int first_undone = undo_depth_ + count - 1;
    // Every frame or none: a generation that cannot be redone everywhere cannot be redone.
    std::vector<std::unique_lock<mutex>> held;
    for (auto& [number, fs] : scene_.frames)
        for (mutex* lock : {&fs.history_lock_, &fs.near_lock_}) {
            held.emplace_back(*lock, std::try_to_lock);
            if (!held.back().owns_lock()) return;
        }
    for (auto& [number, fs] : scene_.frames) {
        fs.redo_.erase(
            std::remove_if(fs.redo_.begin(), fs.redo_.end(),
                           [&](const redo_entry& r) { return r.entry.depth == first_undone; }),
            fs.redo_.end());
        for (std::deque<stroke>* strokes : {&fs.history_, &fs.near_queue_})
            for (stroke& s : *strokes)
                if (s.undone && s.depth == first_undone) s.redoable = false;
    }
    --redo_depth_;
    scene_.window->log("redo trim / " + QString::number(redo_depth_));
}

void scene_history::check_memory() {
    if (trim_running_) return;
    const bool low = scene_.window->available_memory() < low_memory_bytes;
    // Redo data goes first, one generation a tick, the first undone first (a busy frame: the
    // next tick tries again).
    if (low && redo_depth_ > 0) {
        trim_redo();
        return;
    }

    std::vector<int> depths, numbers;
    for (auto& [number, fs] : scene_.frames) {
        std::unique_lock<mutex> hold(fs.history_lock_, std::try_to_lock);
        // A frame whose history is in use may hold the oldest generation: try again next tick
        // rather than trim a newer one.
        if (!hold.owns_lock()) return;
        if (const stroke* oldest = trimmable(fs, undo_depth_)) {
            numbers.push_back(number);
            depths.push_back(oldest->depth);
        }
    }
    if (numbers.empty()) return;
    const int oldest = *std::min_element(depths.begin(), depths.end());
    // With enough memory, only an unfinished trim for lack of memory is carried on.
    if (!low && !(trim_low_memory_ && trim_bound_ >= oldest)) return;

    trim_running_ = true;
    post(scene_.job("remove undo"), scene_.jobs,
         [this, oldest, depths = std::move(depths), numbers = std::move(numbers)] {
             remove_undo(oldest, depths, numbers);
         });
}

void scene_history::remove_undo(int depth, const std::vector<int>& depths,
                                const std::vector<int>& numbers) {
    on_exit done{[this] { trim_running_ = false; }};
    window_link& window = *scene_.window;
    bool finished = true;
    for (size_t i = 0; i < numbers.size() && i < depths.size(); ++i) {
        if (window.view.drag_active) {  // the user is drawing: carry on at a later tick
            finished = false;
            break;
        }
        if (depths[i] != depth) continue;
        scene_frame& fs = scene_.frame(numbers[i]);
        // An undo or redo changes the depth that decides what may go, logs itself and marks its
        // strokes in one step: the trim of a frame comes wholly before or after it.
        mutex_hold ordered(generation_lock_);
        // A frame that a worker is processing is left for the next run.
        const std::unique_lock<mutex> eating = fs.hold_particles(std::try_to_lock);
        if (!eating.owns_lock()) {
            finished = false;
            continue;
        }
        mutex_hold hold(fs.history_lock_);
        // The history may have changed since the check: drop only what the check saw.
        const stroke* oldest = trimmable(fs, undo_depth_);
        if (!oldest || oldest->depth != depth) continue;
        scene_.recorder.trim(fs.frame, oldest->depth);
        window.undo_trimmed(fs.frame, *oldest);
        fs.history_.pop_front();
    }
    // Every run trims for lack of memory, now or carried on from a tick that lacked it; only an
    // unfinished one is carried on once memory is back.
    trim_bound_ = depth;
    trim_low_memory_ = !finished;
}

}  // namespace kavrin
