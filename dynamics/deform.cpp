#include "dynamics/deform.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <mutex>
#include <unordered_set>

#include <QEasingCurve>

#include "core/emitter.h"
#include "core/frame_set.h"
#include "core/parallel.h"
#include "core/strict.h"
#include "dynamics/frame_step.h"
#include "dynamics/level_index.h"

namespace kavrin {

namespace {

constexpr int curve_types = QEasingCurve::NCurveTypes;

bool is_mode(const stroke& s, const char* mode) {
    return s.mode == QLatin1String(mode);
}

}  // namespace

float ease_thousandths(int curve_type, long long thousandths) {
    // Progress counts in whole thousandths, so each curve is a table of 1001 values.
    static std::array<std::array<float, 1001>, curve_types> tables;
    static std::array<std::once_flag, curve_types> made;
    if (curve_type < 0 || curve_type >= curve_types) curve_type = QEasingCurve::Linear;
    std::call_once(made[size_t(curve_type)], [curve_type] {
        const QEasingCurve curve(static_cast<QEasingCurve::Type>(curve_type));
        for (int i = 0; i <= 1000; ++i)
            tables[size_t(curve_type)][size_t(i)] = float(curve.valueForProgress(i / 1000.0));
    });
    thousandths = std::clamp(thousandths, 0LL, 1000LL);
    return tables[size_t(curve_type)][size_t(thousandths)];
}

float ease(int curve_type, double progress) {
    return ease_thousandths(curve_type, static_cast<long long>(progress * 1000.0));
}

void select_particles(frame_set& fs, stroke& s, const vec3& centre, float radius, int curve_type,
                      bool hard) {
    std::vector<oct_tree*> cells;
    find_cells(fs, centre, radius + fs.leaf_half * 1.2f, fs.tree_depth - 1, cells);
    // Leaves whose centroids share a position key are all found as the first of them: brush
    // each cell once, or its particles would be moved twice (by two threads) in one step.
    std::unordered_set<const oct_tree*> seen;
    cells.erase(std::remove_if(cells.begin(), cells.end(),
                               [&seen](const oct_tree* c) { return !seen.insert(c).second; }),
                cells.end());
    for (oct_tree* cell : cells)
        for (const auto& [id, p] : cell->members) {
            const float d = length(p->position - centre);
            if (d > radius || at_limit(*p, s)) continue;
            const float w = hard ? 1.0f : ease(curve_type, 1.0 - double(d / radius));
            s.falloff.try_emplace(id, w);
            s.particles.push_back(p);
        }
}

void deform(particle& p, const stroke& s) {
    if (s.restore) {
        s.assign(p, strict_at(s.recorded, p.id));
        p.moved = p.changed = true;
    } else if (s.targeted) {
        if (at_limit(p, s)) {
            p.moved = p.changed = false;
        } else {
            apply_targeted(p, s);
            p.moved = p.changed = true;
        }
    } else {
        if (is_mode(s, "remove") || is_mode(s, "scale"))
            change_value(p, s);
        else
            move_particle(p, s);
        p.moved = p.changed = true;
    }
}

void move_particle(particle& p, const stroke& s) {
    if (s.keys.at("ctrl")) {
        // Relax towards the rest position; a step that would end within the threshold snaps.
        const vec3 d = p.rest_position - p.position;
        vec3 step;
        for (int i = 0; i < 3; ++i)
            step[i] = float(double(d[i] * s.reach * s.amount) * 0.05);
        if (double(s.reach) * 0.002 > double(length(d) - length(step)))
            p.position = p.rest_position;
        else
            p.position += step;
        return;
    }
    vec3 direction = s.vector;
    const bool converge = is_mode(s, "converge");
    if (converge) direction = normalise(s.centre - p.position);
    const float sign = s.keys.at("shift") && is_mode(s, "normal") ? -1.0f : 1.0f;
    const float step = converge ? 0.003f : 0.01f;
    const float w = strict_at(s.falloff, p.id);
    for (int i = 0; i < 3; ++i)
        p.position[i] += direction[i] * w * s.reach * s.amount * sign * step;
}

void change_value(particle& p, const stroke& s) {
    const float a = s.amount * strict_at(s.falloff, p.id);
    if (is_mode(s, "remove")) {
        // Weight beyond +-1 is compressed logarithmically.
        const float v = p.weight - a * (s.keys.at("ctrl") ? -1.0f : 1.0f);
        if (v > 1.0f)
            p.weight = std::log10(v) + 1.0f;
        else if (v < -1.0f)
            p.weight = -std::log10(-v) - 1.0f;
        else
            p.weight = v;
        return;
    }
    const float b = s.reach * a;
    if (s.keys.at("ctrl")) {
        const float d = p.rest_scale - p.scale;
        const float step = float(double(d * b) * 0.03);
        if (double(s.reach) * 0.05 > double(std::fabs(d) - std::fabs(step)))
            p.scale = p.rest_scale;
        else
            p.scale += step;
        return;
    }
    p.scale += b * (s.keys.at("shift") ? -1.0f : 1.0f) * 0.1f;
    if (p.scale < 0.0f) p.scale = 0.0f;
}

bool at_limit(const particle& p, const stroke& s) {
    const bool ctrl = s.keys.at("ctrl");
    if (is_mode(s, "scale")) {
        if (ctrl) return p.scale == p.rest_scale;
        return s.keys.at("shift") && p.scale == 0.0f;
    }
    if (is_mode(s, "remove")) return ctrl ? p.weight >= 1.0f : p.weight <= 0.0f;
    return ctrl && length(p.rest_position - p.position) == 0.0f;
}

void apply_targeted(particle& p, const stroke& s) {
    const stroke_value& r = strict_at(s.recorded, p.id);
    const stroke_value& t = strict_at(s.targets, p.id);
    const bool ctrl = s.keys.at("ctrl");
    // Share of the way to rest that the painted particle went: |t0 - r| / |t1 - r|. A painted
    // particle that started at rest cannot have been relaxed, so it gives no share.
    auto share = [](float moved, float whole) { return whole > 0.0f ? moved / whole : 0.0f; };
    if (is_mode(s, "remove")) {
        p.weight += (value_as<float>(t) - value_as<float>(r)) * s.weight;
    } else if (is_mode(s, "scale")) {
        const float r0 = value_as<float>(r);
        if (ctrl) {
            const auto& pair = value_as<std::array<float, 2>>(t);
            p.scale += (p.rest_scale - p.scale) * s.weight *
                       share(std::fabs(pair[0] - r0), std::fabs(pair[1] - r0));
        } else {
            p.scale += (value_as<float>(t) - r0) * s.weight;
            if (s.keys.at("shift") && p.scale < 0.0f) p.scale = 0.0f;
        }
    } else {
        const vec3& r0 = value_as<vec3>(r);
        if (ctrl) {
            const auto& pair = value_as<std::array<vec3, 2>>(t);
            p.position += (p.rest_position - p.position) * s.weight *
                          share(length(pair[0] - r0), length(pair[1] - r0));
        } else {
            p.position += (value_as<vec3>(t) - r0) * s.weight;
        }
    }
}

void apply_stroke(frame_set& fs, stroke& s) {
    if (s.targeted) {
        for (particle* p : s.particles)
            deform(*p, s);
    } else {
        parallel_for(frame_job(fs, "deform particle"), int(s.particles.size()), worker_count(fs),
                     [&s](const share& items) {
                         for (int i : items)
                             deform(*s.particles[size_t(i)], s);
                     });
    }
    // The next step re-homes those the deformation marked moved.
    fs.moved_list.insert(fs.moved_list.end(), s.particles.begin(), s.particles.end());
    fs.settled = false;
}

bool holds_painted_entry(const frame_set& fs, int depth) {
    return !fs.history.empty() && fs.history.back().depth == depth && !fs.history.back().undone;
}

void apply_live_stroke(frame_set& fs, stroke& s, stroke* mirrored) {
    {
        QMutexLocker hold(fs.history_lock.get());
        // The stroke being painted owns the newest entry of its depth; a taken-back one is
        // never extended.
        if (!holds_painted_entry(fs, fs.owner->undo_depth)) {
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
        s.particles.push_back(&strict_at(fs.particles, id));
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
        particle& p = strict_at(fs.particles, id);
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
