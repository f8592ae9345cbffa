#pragma once
// Bringing a frame up to date (its step): its particles re-homed in the octree, its level index
// and grid fields made again; and the debug overlay's box geometry.

#include <vector>

#include "base/vec3.h"
#include "dynamics/frame_set.h"

namespace kavrin {

void step(frame_set& fs, bool sequential, bool refresh_fields);
// The box triangles of the occupied nodes (the debug overlay's geometry). A step only marks them
// stale; the refresh rebuilds them when stale. Call either with the frame's eat lock held or on
// the thread that steps it.
void build_debug_geometry(frame_set& fs);
void refresh_debug_geometry(frame_set& fs);
// How far each debug box reaches beyond the bounds of its node's particles.
inline float debug_margin(const frame_set& fs) {
    return 0.1f * fs.tree.leaf_half();
}
// The 36 vertices (twelve triangles) of the box lo..hi, appended three floats each, with their
// face normals when asked for.
void box_triangles(const vec3& lo, const vec3& hi, std::vector<float>& vertices,
                   std::vector<float>* normals);
}  // namespace kavrin
