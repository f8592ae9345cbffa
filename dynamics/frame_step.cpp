#include "dynamics/frame_step.h"

#include <algorithm>
#include <climits>
#include <mutex>

#include <QThread>

#include "core/emitter.h"
#include "core/frame_set.h"
#include "core/parallel.h"
#include "core/rotation.h"
#include "core/strict.h"
#include "dynamics/deform.h"
#include "dynamics/grid_fields.h"
#include "dynamics/level_index.h"
#include "dynamics/octree.h"

namespace kavrin {

namespace {

void first_step(frame_set& fs) {
    {
        // Picking reads the node bounds meanwhile.
        QMutexLocker geometry(fs.geometry_lock.get());
        build_tree(fs);
        // The particles are placed right away, so that a fresh frame can be picked and painted.
        insert_queued(fs);
        bounds_pass(fs, true);
    }
    create_levels(fs);
    field_passes(fs, true);
    shade_particles(fs);
    fs.moved_list.clear();
    fs.debug_stale = true;
    if (fs.owner) --fs.owner->frames_to_build;
    fs.initialised = true;
    fs.settled = true;
    fs.brushed_only = false;
    fs.touched = true;
}

void later_step(frame_set& fs, bool sequential, bool refresh_fields) {
    // The edits listed what they moved; a particle listed twice is re-homed once.
    std::vector<particle*> moved;
    moved.swap(fs.moved_list);
    std::sort(moved.begin(), moved.end());
    moved.erase(std::unique(moved.begin(), moved.end()), moved.end());
    moved.erase(std::remove_if(moved.begin(), moved.end(), [](particle* p) { return !p->moved; }),
                moved.end());
    if (sequential) {
        for (particle* p : moved)
            rehome(fs, *p);
    } else {
        parallel_for(frame_job(fs, "update particle"), int(moved.size()), worker_count(fs),
                     [&](const share& s) {
                         for (int i : s)
                             rehome(fs, *moved[size_t(i)]);
                     });
    }
    {
        // Picking reads the node bounds meanwhile.
        QMutexLocker geometry(fs.geometry_lock.get());
        insert_queued(fs);
        bounds_pass(fs, sequential);
        measure_extent(fs);
    }
    reset_levels(fs);
    if (sequential || refresh_fields) field_passes(fs, sequential);
    fs.debug_stale = true;
    fs.settled = true;
    fs.brushed_only = false;
    fs.touched = true;
}

// Shared ending of a frame build and a cache playback.
int finish_fill(frame_set& fs) {
    const int count = int(fs.particles.size());
    fs.owner->point_count += count;
    if (count == 0) {
        --fs.owner->frames_to_build;
        fs.empty = true;
    }
    fs.needs_step = true;
    return count;
}

int play_back(frame_set& fs) {
    fs.owner->window->read_cache_frame(*fs.owner, fs.frame);
    return finish_fill(fs);
}

// Evaluates test under lock; with wait false a busy lock counts as pending work.
template <class Test>
bool under_lock(QMutex& lock, bool wait, Test test) {
    std::unique_lock<QMutex> hold(lock, std::defer_lock);
    if (wait)
        hold.lock();
    else if (!hold.try_lock())
        return true;
    return test();
}

}  // namespace

void step(frame_set& fs, bool sequential, bool refresh_fields) {
    if (!fs.initialised)
        first_step(fs);
    else
        later_step(fs, sequential, refresh_fields);
    ++fs.steps_taken;
}

void refresh_debug_geometry(frame_set& fs) {
    if (fs.debug_stale.exchange(false)) build_debug_geometry(fs);
}

void box_triangles(const vec3& lo, const vec3& hi, std::vector<float>& vertices,
                   std::vector<float>* normals) {
    // Corner c of a box has x from bit 0, y from bit 1, z from bit 2; faces wind outwards.
    static const int faces[6][4] = {{4, 5, 7, 6}, {0, 2, 3, 1}, {1, 3, 7, 5},
                                    {0, 4, 6, 2}, {2, 6, 7, 3}, {0, 1, 5, 4}};
    static const vec3 face_normals[6] = {{0, 0, 1},  {0, 0, -1}, {1, 0, 0},
                                         {-1, 0, 0}, {0, 1, 0},  {0, -1, 0}};
    auto corner = [&](int c) {
        return vec3(c & 1 ? hi[0] : lo[0], c & 2 ? hi[1] : lo[1], c & 4 ? hi[2] : lo[2]);
    };
    for (int f = 0; f < 6; ++f) {
        const int* q = faces[f];
        for (int c : {q[0], q[1], q[2], q[0], q[2], q[3]}) {
            const vec3 p = corner(c);
            vertices.insert(vertices.end(), p.v, p.v + 3);
            if (normals) normals->insert(normals->end(), face_normals[f].v, face_normals[f].v + 3);
        }
    }
}

void build_debug_geometry(frame_set& fs) {
    std::vector<oct_tree*> nodes;
    collect(fs.root, nodes);
    std::vector<float> vertices, face_normals;
    const float m = debug_margin(fs);
    for (const oct_tree* n : nodes)
        if (n->occupied)
            box_triangles(n->bound_min - vec3(m, m, m), n->bound_max + vec3(m, m, m), vertices,
                          &face_normals);
    QMutexLocker hold(fs.geometry_lock.get());
    fs.debug_vertex_count = int(vertices.size() / 3);
    fs.debug_vertices.swap(vertices);
    fs.debug_normals.swap(face_normals);
}

int build_frame(frame_set& fs, const std::vector<int>& frame_numbers, int index) {
    emitter& e = *fs.owner;
    if (e.from_cache) return play_back(fs);

    const int n = e.window->generation_scale;
    const float spread = n == 1 ? 0.0f : 10.0f;
    const float flight = float(0.03 * 1.05);
    const float sink = float(0.03 * 0.05);
    const vec3 source(-0.8f, 0.0f, 0.0f);
    // The window may draw this frame meanwhile; every change of a frame's particles holds its
    // eat lock.
    QMutexLocker filling(fs.eat_lock.get());
    if (index > 0) {
        // The frames before are read as generated: a stroke painted on them while this frame
        // waited to be built belongs to them alone, as it would in a scene built in one go.
        frame_set& previous = e.frame(strict_index(frame_numbers, index - 1));
        const frame_set* before =
            index > 1 ? &e.frame(strict_index(frame_numbers, index - 2)) : nullptr;
        fs.particles = previous.generated;
        const int existed = n * (index - 1);
        for (auto& [id, p] : fs.particles) {
            if (p.position[1] < 0.0f) continue;
            // A particle flies on in the direction it last moved; one born in the previous
            // frame leaves the source along its emission direction.
            const vec3 earlier =
                before && id < existed ? strict_at(before->generated, id).position : source;
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
        if (i >= 0) particle_map().swap(e.frame(strict_index(frame_numbers, i)).generated);
    };
    fs.generated = fs.particles;
    drop_generated(index - 2);
    if (size_t(index) + 1 == frame_numbers.size()) {
        drop_generated(index - 1);
        drop_generated(index);
    }
    return finish_fill(fs);
}

bool has_work(const frame_set& fs, work_kind kind, bool wait) {
    const bool open = !fs.empty && !fs.settled;
    switch (kind) {
        case work_kind::save:
            return fs.pending_save;
        case work_kind::playback:
            // Due until the frame has been filled once: a filled frame is never read again.
            return open && fs.owner->from_cache && !fs.needs_step;
        case work_kind::queued_stroke:
            return under_lock(*fs.near_lock, wait, [&] { return !fs.near_queue.empty(); });
        case work_kind::undo:
            return under_lock(*fs.history_lock, wait,
                              [&] { return !fs.history.empty() && fs.history.back().undone; });
        case work_kind::final_step:
            return open && fs.needs_step;
        case work_kind::redo:
            return under_lock(*fs.history_lock, wait,
                              [&] { return !fs.redo.empty() && fs.redo.back().due; });
    }
    return false;
}

bool has_any_work(const frame_set& fs, bool wait) {
    for (int k = 0; k <= 5; ++k)
        if (has_work(fs, work_kind(k), wait)) return true;
    return false;
}

bool process(frame_set& fs) {
    emitter& e = *fs.owner;
    // Cache work goes one frame at a time across the workers.
    auto with_cache_lock = [&e](auto work) {
        std::unique_lock<QMutex> cache_work(*e.frame_lock, std::try_to_lock);
        if (cache_work.owns_lock())
            work();
        else
            QThread::msleep(2);
    };
    if (has_work(fs, work_kind::playback)) with_cache_lock([&] { play_back(fs); });
    for (;;) {
        if (e.must_stop()) {
            e.eat_interrupted = true;
            return false;
        }
        if (!next_change(fs, true, true)) break;
    }
    // Written once its undos and queued strokes are in, so the file holds what the user asked for.
    if (fs.pending_save)
        with_cache_lock([&] {
            e.window->write_cache_frame(e, fs.frame);
            fs.pending_save = false;
            --e.frames_to_save;
        });
    if (fs.empty || fs.settled || !fs.needs_step) return true;
    step(fs, true, false);
    return true;
}

bool ready_to_paint(const frame_set& fs) {
    if (!fs.needs_step || !fs.settled || fs.empty || fs.near_marked || fs.pending_save)
        return false;
    // A redo still to be carried out here puts values back whole: a stroke painted first would
    // be overwritten by it.
    if (has_work(fs, work_kind::redo, false)) return false;
    std::unique_lock<QMutex> hold(*fs.near_lock, std::try_to_lock);
    return hold.owns_lock() && std::all_of(fs.near_queue.begin(), fs.near_queue.end(),
                                           [](const stroke& s) { return s.undone; });
}

namespace {

// Depth of the frame's next redo to carry out and of its front queued stroke; INT_MAX for none.
std::pair<int, int> next_depths(const frame_set& fs) {
    std::pair<int, int> at{INT_MAX, INT_MAX};
    {
        QMutexLocker hold(fs.history_lock.get());
        if (!fs.redo.empty() && fs.redo.back().due) at.first = fs.redo.back().entry.depth;
    }
    QMutexLocker hold(fs.near_lock.get());
    if (!fs.near_queue.empty()) at.second = fs.near_queue.front().depth;
    return at;
}

}  // namespace

bool next_change(frame_set& fs, bool queued, bool sequential) {
    if (has_work(fs, work_kind::undo)) {
        replay_undo(fs);
    } else {
        // Redone strokes and queued ones are carried out oldest first, so the history stays in
        // depth order (a redone stroke is older than every stroke queued since).
        const auto [redo_at, queued_at] = next_depths(fs);
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

void settle_undone(frame_set& fs) {
    while (next_change(fs, false, false)) {
    }
    while (drop_undone_queued(fs)) {
    }
}

}  // namespace kavrin
