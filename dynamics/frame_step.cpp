#include "dynamics/frame_step.h"

#include <algorithm>
#include <utility>

#include "dynamics/frame_set.h"
#include "base/parallel.h"
#include "base/rotation.h"
#include "base/strict.h"
#include "dynamics/deform.h"
#include "dynamics/frame_host.h"
#include "dynamics/grid_fields.h"
#include "dynamics/level_index.h"
#include "dynamics/octree.h"

namespace kavrin {

namespace {

void first_step(frame_set& fs) {
    {
        // Picking reads the node bounds meanwhile.
        const std::unique_lock<mutex> bounds = fs.hold_bounds();
        build_tree(fs);
        // The particles are placed right away, so that a fresh frame can be picked and painted.
        insert_queued(fs);
        bounds_pass(fs, true);
    }
    create_levels(fs);
    field_passes(fs, true);
    shade_particles(fs);
    fs.take_moved();  // the build placed every particle where it is
    fs.debug.mark_stale();
    if (fs.host) fs.host->first_stepped(fs);
    fs.initialised = true;
    fs.settled = true;
    fs.brushed_only = false;
    fs.touched = true;
}

void later_step(frame_set& fs, bool sequential, bool refresh_fields) {
    // The edits listed what they moved; a particle listed twice is re-homed once.
    std::vector<particle*> moved = fs.take_moved();
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
        const std::unique_lock<mutex> bounds = fs.hold_bounds();
        insert_queued(fs);
        bounds_pass(fs, sequential);
        measure_extent(fs);
    }
    reset_levels(fs);
    if (sequential || refresh_fields) field_passes(fs, sequential);
    fs.debug.mark_stale();
    fs.settled = true;
    fs.brushed_only = false;
    fs.touched = true;
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
    if (fs.debug.take_stale()) build_debug_geometry(fs);
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
    collect(fs.tree.root(), nodes);
    std::vector<float> vertices, face_normals;
    const float m = debug_margin(fs);
    for (const oct_tree* n : nodes)
        if (n->occupied)
            box_triangles(n->bound_min - vec3(m, m, m), n->bound_max + vec3(m, m, m), vertices,
                          &face_normals);
    fs.debug.replace(std::move(vertices), std::move(face_normals));
}

}  // namespace kavrin
