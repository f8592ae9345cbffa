#pragma once
// Level index of a frame's octree: per leaf depth, a k-d tree of leaf centroids and a map from
// position key to leaf. Moved particles find their new cell through it.

#include <vector>

#include "base/cell_key.h"
#include "base/particle.h"

namespace kavrin {

class frame_set;
struct oct_tree;

// Key of a position relative to the frame's extent.
cell_key position_key(const vec3& v, float extent);

void create_levels(frame_set& fs);
// Indexes every leaf of the tree, in tree order, as it stands.
void reset_levels(frame_set& fs);
// Leaves of one level whose centroid lies within radius of position, in query order.
void find_cells(const frame_set& fs, const vec3& position, float radius, int level,
                std::vector<oct_tree*>& out);
// Moves p to the leaf that now holds it (the body of "update particle").
void rehome(frame_set& fs, particle& p);

}  // namespace kavrin
