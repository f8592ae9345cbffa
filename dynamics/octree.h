#pragma once
// Octree of particle cells. Depth follows the particle count, the root box the particle bounds;
// nodes are made on demand and keyed by their integer child coordinates.

#include <atomic>
#include <memory>
#include <unordered_map>
#include <vector>

#include <QMutex>

#include "core/cell_key.h"
#include "core/particle.h"
#include "core/vec3.h"

namespace kavrin {

class frame_set;

struct oct_tree {
    std::shared_ptr<QMutex> mutex;  // guards members while particles move between cells
    std::atomic<bool> dirty{true};  // bounds must be recomputed; re-homing threads set it
    bool occupied = false;          // held a live particle at the last bounds update
    int depth = 0;
    float half_size = 0.0f;
    vec3 centroid;
    vec3 bound_max;
    vec3 bound_min;
    vec3 corner;  // lowest corner; the cell spans corner .. corner + 2 * half_size, both included
    std::unordered_map<cell_key, oct_tree, cell_key_hash> children;
    std::unordered_map<int32_t, particle*> members;  // guarded by mutex during re-homing
    frame_set* owner = nullptr;
};

void init(oct_tree& node, int depth, float half_size, const vec3& corner, frame_set* owner);
vec3 centre(const oct_tree& node);
bool is_outside(const oct_tree& node, const vec3& position);
// Makes (or keeps) the child at integer coordinates coords and returns it.
oct_tree& make_child(oct_tree& node, const cell_key& coords);
struct child_dims {
    int n[3] = {2, 2, 2};
};
void subdivide(oct_tree& node, int max_depth, const child_dims& dims = child_dims());
void refresh(oct_tree& node, int max_depth);
// The node, then each child subtree in map order.
void collect(oct_tree& node, std::vector<oct_tree*>& list);

// Depth of the leaf cells for a particle count: digits of trunc(count * 0.01), plus one.
int tree_depth_for(size_t particle_count);

void build_tree(frame_set& fs);
void insert_queued(frame_set& fs);
void update_bounds(oct_tree& node);
void bounds_pass(frame_set& fs, bool sequential);
void measure_extent(frame_set& fs);

}  // namespace kavrin
