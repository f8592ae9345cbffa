#include "scene/history.h"

#include <algorithm>
#include <deque>
#include <mutex>

#include "base/strict.h"
#include "dynamics/deform.h"
#include "dynamics/frame_set.h"
#include "dynamics/frame_step.h"

namespace kavrin {

bool holds_painted_entry(const frame_set& fs, int depth) {
    return !fs.history.empty() && fs.history.back().depth == depth && !fs.history.back().undone;
}

void apply_live_stroke(frame_set& fs, stroke& s, int depth, stroke* mirrored) {
    {
        QMutexLocker hold(fs.history_lock.get());
        // The stroke being painted owns the newest entry of its depth; a taken-back one is
        // never extended.
        if (!holds_painted_entry(fs, depth)) {
            stroke entry = s;
            entry.particles.clear();
            fs.history.push_back(std::move(entry));
        }
        stroke& newest = fs.history.back();
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

namespace {

// Keeps an undone stroke for a redo, in depth order. The caller holds the history lock.
void keep_for_redo(frame_set& fs, redo_entry r) {
    r.entry.restore = false;
    auto at = std::find_if(fs.redo.begin(), fs.redo.end(),
                           [&r](const redo_entry& e) { return e.entry.depth < r.entry.depth; });
    fs.redo.insert(at, std::move(r));
}

}  // namespace

void replay_undo(frame_set& fs) {
    // The history lock is held throughout, so a trim cannot drop the entry being replayed.
    QMutexLocker hold(fs.history_lock.get());
    if (fs.history.empty()) return;
    stroke& s = fs.history.back();
    // The entry leaves the history however the replay ends, so a bad entry cannot block the
    // frame's queue for good.
    struct drop_newest {
        std::deque<stroke>& history;
        ~drop_newest() { history.pop_back(); }
    } drop{fs.history};
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
        keep_for_redo(fs, {s, false, false, std::move(after)});
    }
}

void replay_redo(frame_set& fs) {
    std::unique_lock<QMutex> hold(*fs.history_lock);
    if (fs.redo.empty() || !fs.redo.back().due) return;
    redo_entry r = std::move(fs.redo.back());
    fs.redo.pop_back();
    r.entry.undone = r.entry.redoable = false;
    if (r.queued) {
        // It never reached this frame: it goes through the queue as it would have, in depth
        // order among the strokes waiting there, so the history keeps its order.
        hold.unlock();
        QMutexLocker queue(fs.near_lock.get());
        const int depth = r.entry.depth;
        fs.near_queue.insert(std::find_if(fs.near_queue.begin(), fs.near_queue.end(),
                                          [depth](const stroke& s) { return s.depth > depth; }),
                             std::move(r.entry));
        return;
    }
    for (const auto& [id, value] : r.after) {
        particle& p = strict_at(fs.particles, id, "the frame's particles");
        r.entry.assign(p, value);
        p.changed = true;
        mark_moved(fs, p);
    }
    fs.settled = false;
    fs.history.push_back(std::move(r.entry));
}

bool drop_undone_queued(frame_set& fs) {
    stroke dropped;
    {
        QMutexLocker queue(fs.near_lock.get());
        if (fs.near_queue.empty() || !fs.near_queue.front().undone) return false;
        dropped = std::move(fs.near_queue.front());
        fs.near_queue.pop_front();
    }
    if (dropped.redoable) {
        QMutexLocker hold(fs.history_lock.get());
        keep_for_redo(fs, {std::move(dropped), true, false, {}});
    }
    return true;
}

void apply_queued_stroke(frame_set& fs) {
    if (drop_undone_queued(fs)) return;
    stroke* front = nullptr;
    {
        // The near worker appends meanwhile; the front element itself stays where it is.
        QMutexLocker hold(fs.near_lock.get());
        if (fs.near_queue.empty()) return;
        front = &fs.near_queue.front();
    }
    stroke& s = *front;
    // The front entry leaves the queue however its application ends.
    struct drop_front {
        frame_set& fs;
        ~drop_front() {
            QMutexLocker hold(fs.near_lock.get());
            fs.near_queue.pop_front();
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
        QMutexLocker hold(fs.history_lock.get());
        fs.history.push_back(std::move(entry));
    }
}

}  // namespace kavrin
