#include "scene/frame_schedule.h"

#include <climits>
#include <mutex>

#include <QThread>

#include "base/rotation.h"
#include "base/strict.h"
#include "dynamics/frame_step.h"
#include "scene/emitter.h"
#include "scene/history.h"

namespace kavrin {

namespace {

// Shared ending of a frame build and a cache playback.
int finish_fill(emitter& e, scene_frame& fs) {
    const int count = int(fs.particles.size());
    e.count_filled(count);
    if (count == 0) fs.empty = true;
    fs.mark_filled();
    return count;
}

int play_back(emitter& e, scene_frame& fs) {
    e.window->read_cache_frame(e, fs.frame);
    return finish_fill(e, fs);
}

// The changes that the frame's own lists hold: a queued stroke, an undo to revert, a redo.
// With wait false a busy lock counts as pending work.
bool change_due(const scene_frame& fs, work_kind kind, bool wait) {
    const busy_lock busy = wait ? busy_lock::wait : busy_lock::counts_due;
    switch (kind) {
        case work_kind::queued_stroke:
            return fs.stroke_queued(busy);
        case work_kind::undo:
            return fs.undo_due(busy);
        case work_kind::redo:
            return fs.redo_due(busy);
        default:
            return false;
    }
}

}  // namespace

int build_frame(emitter& e, scene_frame& fs, const std::vector<int>& frame_numbers, int index) {
    if (e.from_cache) return play_back(e, fs);

    const int n = e.window->generation_scale;
    const float spread = n == 1 ? 0.0f : 10.0f;
    const float flight = float(0.03 * 1.05);
    const float sink = float(0.03 * 0.05);
    const vec3 source(-0.8f, 0.0f, 0.0f);
    // The window may draw this frame meanwhile; every change of a frame's particles holds its
    // eat lock.
    const std::unique_lock<mutex> filling = fs.hold_particles();
    if (index > 0) {
        // The frames before are read as generated: a stroke painted on them while this frame
        // waited to be built belongs to them alone, as it would in a scene built in one go.
        scene_frame& previous = e.frame(strict_index(frame_numbers, index - 1));
        const scene_frame* before =
            index > 1 ? &e.frame(strict_index(frame_numbers, index - 2)) : nullptr;
        fs.particles = previous.generated_;
        const int existed = n * (index - 1);
        for (auto& [id, p] : fs.particles) {
            if (p.position[1] < 0.0f) continue;
            // A particle flies on in the direction it last moved; one born in the previous
            // frame leaves the source along its emission direction.
            const vec3 earlier =
                before && id < existed
                    ? strict_at(before->generated_, id, "the previous frame's generated particles")
                          .position
                    : source;
            p.position += normalise(p.position - earlier) * flight;
            if (p.position[1] < 0.0f)
                p.position[1] = 0.0f;
            else
                p.position[1] -= sink;
            p.rest_position = p.position;
        }
    }

    const vec3 axis = normalise(vec3(1.0f, 2.0f, 0.0f));
    const vec3 spin(0.0f, 0.0f, 1.0f);
    auto draw = [&e](float lo, float hi) { return lo + (hi - lo) * float(e.window->random()); };
    for (int i = 0; i < n; ++i) {
        const float t = float(i + 1) / float(n);
        vec3 d = axis * t;
        d = rotate(d, spin, draw(-spread, spread));
        d = rotate(d, axis, draw(0.0f, 720.0f));
        const int id = (index + 1) * n - i - 1;
        fs.particles.try_emplace(id, id, d * 0.03f + source, 1.0f);
    }
    // Frames are built in order: the frame two back has served both its successors, and the
    // last frame's successors do not exist.
    auto drop_generated = [&](int i) {
        if (i >= 0) particle_map().swap(e.frame(strict_index(frame_numbers, i)).generated_);
    };
    fs.generated_ = fs.particles;
    drop_generated(index - 2);
    if (size_t(index) + 1 == frame_numbers.size()) {
        drop_generated(index - 1);
        drop_generated(index);
    }
    return finish_fill(e, fs);
}

bool has_work(const emitter& e, const scene_frame& fs, work_kind kind, bool wait) {
    const bool open = !fs.empty && !fs.settled;
    switch (kind) {
        case work_kind::save:
            return fs.pending_save();
        case work_kind::playback:
            // Due until the frame has been filled once: a filled frame is never read again.
            return open && e.from_cache && !fs.needs_step();
        case work_kind::final_step:
            return open && fs.needs_step();
        case work_kind::queued_stroke:
        case work_kind::undo:
        case work_kind::redo:
            return change_due(fs, kind, wait);
    }
    return false;
}

bool has_any_work(const emitter& e, const scene_frame& fs, bool wait) {
    for (int k = 0; k <= 5; ++k)
        if (has_work(e, fs, work_kind(k), wait)) return true;
    return false;
}

bool process(emitter& e, scene_frame& fs) {
    // Cache work goes one frame at a time across the workers.
    auto with_cache_lock = [&e](auto work) {
        if (e.frame_lock_.try_lock()) {
            mutex_hold cache_work(e.frame_lock_, std::adopt_lock);
            work();
        } else {
            QThread::msleep(2);
        }
    };
    if (has_work(e, fs, work_kind::playback)) with_cache_lock([&] { play_back(e, fs); });
    for (;;) {
        if (e.must_stop()) {
            e.eat_interrupted_ = true;
            return false;
        }
        if (!next_change(fs, true, true)) break;
    }
    // Written once its undos and queued strokes are in, so the file holds what the user asked for.
    if (fs.pending_save())
        with_cache_lock([&] {
            e.window->write_cache_frame(e, fs.frame);
            fs.set_pending_save(false);
            --e.frames_to_save_;
        });
    if (fs.empty || fs.settled || !fs.needs_step()) return true;
    step(fs, true, false);
    return true;
}

bool ready_to_paint(const scene_frame& fs) {
    if (!fs.needs_step() || !fs.settled || fs.empty || fs.near_marked() || fs.pending_save())
        return false;
    // A redo still to be carried out here puts values back whole: a stroke painted first would
    // be overwritten by it.
    if (change_due(fs, work_kind::redo, false)) return false;
    return fs.queue_holds_only_undone();
}

bool next_change(scene_frame& fs, bool queued, bool sequential) {
    if (change_due(fs, work_kind::undo, true)) {
        replay_undo(fs);
    } else {
        // Redone strokes and queued ones are carried out oldest first, so the history stays in
        // depth order (a redone stroke is older than every stroke queued since).
        const auto [redo_at, queued_at] = fs.next_change_depths();
        if (redo_at != INT_MAX && redo_at < queued_at)
            replay_redo(fs);
        else if (queued && queued_at != INT_MAX)
            apply_queued_stroke(fs);
        else
            return false;
    }
    // Each change is stepped on its own: where a particle on the face of two cells lands depends
    // on the cell it comes from, so the cells must take the same path however changes arrive.
    if (!fs.settled) step(fs, sequential, true);
    return true;
}

void settle_undone(scene_frame& fs) {
    while (next_change(fs, false, false)) {
    }
    while (drop_undone_queued(fs)) {
    }
}

}  // namespace kavrin
