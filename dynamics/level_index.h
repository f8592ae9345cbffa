#pragma once
// Level index of a frame's octree: per leaf depth, a k-d tree of leaf centroids and a map from
// position key to leaf. Moved particles find their new cell through it.

#include <atomic>
#include <cstdint>
#include <vector>

#include "base/cell_key.h"
#include "base/mutex.h"
#include "base/particle.h"
#include "dynamics/kd_tree.h"
#include "dynamics/leaf_keys.h"

namespace kavrin {

class frame_set;
struct oct_tree;

// A frame's level index. Its state is kept by the functions below; the tree's passes tell it what
// they changed, and readers ask what it holds.
class level_index {
  public:
    // The index holds the leaves with their centroids as they are now. A bounds update or a new
    // node outdates it (bounds may be updated on several threads at once).
    bool current() const { return current_; }
    void mark_outdated(std::memory_order order = std::memory_order_seq_cst) {
        current_.store(false, order);
    }
    // A node was added to the tree: the index is outdated and the next reset walks the tree
    // for its leaves again.
    void note_new_node() {
        leaves_changed_ = true;
        mark_outdated();
    }
    // The leaves in tree order as the last reset found them; a leaf's place in it is what the
    // key maps hold.
    const std::vector<oct_tree*>& leaf_order() const { return leaf_order_; }
    // Nodes whose bounds a pass recomputed: only their centroids can have changed, so the next
    // reset re-keys just them. The stepping thread alone calls it.
    void note_recomputed(const std::vector<oct_tree*>& nodes) {
        rekey_nodes_.insert(rekey_nodes_.end(), nodes.begin(), nodes.end());
    }
    // Per level (leaf depth - 1), the map from position key to place in the leaf order.
    const std::vector<leaf_keys>& keys() const { return keys_; }
    // The maps hold every leaf's key and nothing else, so the next reset may mend them in place;
    // forget_keys makes it key every leaf afresh.
    bool keys_whole() const { return keys_whole_; }
    void forget_keys() { keys_whole_ = false; }

  private:
    friend void create_levels(frame_set& fs);
    friend void reset_levels(frame_set& fs);
    friend void find_cells(const frame_set& fs, const vec3& position, float radius, int level,
                           std::vector<oct_tree*>& out);
    friend void rehome(frame_set& fs, particle& p);
    static void key_leaf(frame_set& fs, uint32_t index);
    static bool rekey_moved(frame_set& fs);
    static void make_due_trees(const frame_set& fs);
    static bool direct_candidate(const frame_set& fs, const vec3& p, float radius, int level,
                                 const oct_tree* old, oct_tree*& found);

    // Changed by the stepping thread alone, as the tree's nodes are added and indexed.
    std::vector<oct_tree*> leaf_order_;
    bool leaves_changed_ = true;
    std::vector<leaf_keys> keys_;
    // Made from the leaf order, or mended for the centroids that changed, by the first query
    // after a reset (trees_due_), which may come from several re-homing threads at once:
    // trees_lock_ guards the making and the three fields below, which the stepping thread also
    // changes at a reset, when no query runs.
    mutable std::vector<kd_tree> trees_;
    mutable std::atomic<bool> trees_due_{false};
    mutable mutex trees_lock_;
    // The trees hold every leaf of the leaf order, each at its place in its level's tree, with
    // its centroid as it was when they were last made, except the leaves listed in tree_moves_.
    mutable bool trees_whole_ = false;
    mutable std::vector<uint32_t> leaf_tree_place_;  // by place in the leaf order
    mutable std::vector<uint32_t> tree_moves_;       // places in the leaf order, maybe twice
    // Per level, whether two leaves gave the same position key when it was indexed.
    std::vector<char> collisions_;
    std::atomic<bool> current_{false};
    // For re-keying only what moved (the stepping thread alone touches these): the nodes whose
    // bounds were recomputed since the last reset, each leaf's key as it was entered (by place
    // in the leaf order), and the extent those keys were made with.
    std::vector<oct_tree*> rekey_nodes_;
    std::vector<cell_key> leaf_keyed_;
    float keyed_extent_ = 0.0f;
    bool keys_whole_ = false;
};

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
