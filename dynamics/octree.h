#pragma once
// Octree of particle cells. Depth follows the particle count, the root box the particle bounds;
// nodes are made on demand and keyed by their integer child coordinates.

#include <atomic>
#include <memory>
#include <unordered_map>
#include <vector>

#include "base/cell_key.h"
#include "base/mutex.h"
#include "base/particle.h"
#include "base/thread_annotations.h"
#include "base/vec3.h"
#include "dynamics/box_table.h"

namespace kavrin {

class frame_set;

// The particles of a cell in ascending id order, so that the order does not depend on the order
// in which threads moved them in.
class member_list {
  public:
    using entry = std::pair<int32_t, particle*>;

    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }
    bool empty() const { return items_.empty(); }
    size_t size() const { return items_.size(); }
    size_t count(int32_t id) const;
    // Inserts p under id unless id is there already.
    bool emplace(int32_t id, particle* p);
    size_t erase(int32_t id);
    // Releases the storage too: a cell that handed its particles down keeps none.
    void clear();
    // Appends without keeping the order; sort() restores it.
    void append(int32_t id, particle* p) { items_.emplace_back(id, p); }
    void sort();

  private:
    std::vector<entry> items_;
};

struct oct_tree {
    std::shared_ptr<mutex> members_lock;  // guards members while particles move between cells
    std::atomic<bool> dirty{true};        // bounds must be recomputed; re-homing threads set it
    bool occupied = false;                // held a live particle at the last bounds update
    int depth = 0;
    float half_size = 0.0f;
    vec3 centroid;
    vec3 bound_max;
    vec3 bound_min;
    vec3 corner;  // lowest corner; the cell spans corner .. corner + 2 * half_size, both included
    std::unordered_map<cell_key, oct_tree, cell_key_hash> children;
    member_list members;  // guarded by mutex during re-homing
    frame_set* owner = nullptr;
    int slot = -1;        // the node's entry in its frame's box table
    int leaf_place = -1;  // its place in the frame's leaf order when it was last indexed
};

// A frame's octree: the root cell, the leaf depth and size and the extent they were made for,
// the bounds of every node by slot, and what the re-homing threads list for the next passes.
// Its state is kept by the tree's passes below; everyone else asks what it holds.
class frame_tree {
  public:
    // The cells themselves: a stroke brushes their particles, re-homing moves them between
    // cells, a test builds them by hand.
    oct_tree& root() { return root_; }
    const oct_tree& root() const { return root_; }
    // The depth of the leaf cells and their half size; 0 before the first build.
    int depth() const { return depth_; }
    float leaf_half() const { return leaf_half_; }
    // The largest side of the live particles' bounds at the last step: position keys and the
    // grid's cell edge are relative to it.
    float extent() const { return extent_; }
    // Node bounds by slot. A step changes them only while it holds its frame's bounds lock, and
    // picking on the GUI thread reads them under the same lock.
    const box_table& boxes() const { return boxes_; }
    // Visits the occupied boxes that may meet a region (see box_table::visit). The visit brings
    // the table's joint bounds up to date, so it takes the same lock as a step's writes.
    template <class MayMeet, class F>
    void visit_boxes(float margin, MayMeet may_meet, F f) {
        boxes_.visit(margin, may_meet, f);
    }

    // p waits to be placed in the tree by the next insertion.
    void queue_insert(particle& p) { insert_queue_.push_back(&p); }
    // The nodes whose bounds are due, in the order they were marked (for comparing two trees).
    std::vector<oct_tree*> due_nodes() const;

  private:
    friend void mark_dirty(oct_tree& node);
    friend void mark_for_refresh(oct_tree& node);
    friend void init(oct_tree& node, int depth, float half_size, const vec3& corner,
                     frame_set* owner);
    friend void refresh_listed(frame_set& fs);
    friend void build_tree(frame_set& fs);
    friend void insert_queued(frame_set& fs);
    friend void update_bounds(oct_tree& node);
    friend void bounds_pass(frame_set& fs, bool sequential);
    friend void measure_extent(frame_set& fs);

    // The fields below are the stepping thread's, but for the two lists that the re-homing
    // threads add to under node_lists_lock_.
    oct_tree root_;
    int depth_ = 0;
    float leaf_half_ = 0.0f;
    float extent_ = 0.0f;
    box_table boxes_;
    std::vector<particle*> insert_queue_;
    mutable mutex node_lists_lock_;
    // Nodes whose bounds are due, and nodes above the leaf depth that received particles.
    std::vector<oct_tree*> dirty_nodes_ KAVRIN_GUARDED_BY(node_lists_lock_);
    std::vector<oct_tree*> refresh_nodes_ KAVRIN_GUARDED_BY(node_lists_lock_);
};

// Sets the node's dirty flag and, the first time, lists it for the next bounds pass.
void mark_dirty(oct_tree& node);
// Lists a node that received particles above the leaf depth, for the next tree refresh.
void mark_for_refresh(oct_tree& node);

void init(oct_tree& node, int depth, float half_size, const vec3& corner, frame_set* owner);
vec3 centre(const oct_tree& node);
bool is_outside(const oct_tree& node, const vec3& position);
// Makes (or keeps) the child at integer coordinates coords and returns it.
oct_tree& make_child(oct_tree& node, const cell_key& coords);
struct child_dims {
    int n[3] = {2, 2, 2};
};
void subdivide(oct_tree& node, int max_depth, const child_dims& dims = child_dims());
// The tree refresh: every node above the leaf depth that holds particles is subdivided (parents
// first). Only the nodes listed by mark_for_refresh can hold any.
void refresh_listed(frame_set& fs);
// The node, then each child subtree in map order.
void collect(oct_tree& node, std::vector<oct_tree*>& list);

// Depth of the leaf cells for a particle count: digits of trunc(count * 0.01), plus one.
int tree_depth_for(size_t particle_count);

void build_tree(frame_set& fs);
void insert_queued(frame_set& fs);
void update_bounds(oct_tree& node);
void bounds_pass(frame_set& fs, bool sequential);
// The extent of the cells holding live particles; of all particles when none is live.
void measure_extent(frame_set& fs);

}  // namespace kavrin
