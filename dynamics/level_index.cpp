#include "dynamics/level_index.h"

#include <algorithm>
#include <cmath>

#include "dynamics/frame_set.h"
#include "base/strict.h"
#include "dynamics/octree.h"

namespace kavrin {

namespace {

template <class V>
V& level_at(std::vector<V>& levels, int level) {
    if (level < 0 || size_t(level) >= levels.size()) throw std::out_of_range(bad_subscript_message);
    return levels[size_t(level)];
}
template <class V>
const V& level_at(const std::vector<V>& levels, int level) {
    if (level < 0 || size_t(level) >= levels.size()) throw std::out_of_range(bad_subscript_message);
    return levels[size_t(level)];
}

kd_tree::point as_doubles(const vec3& v) {
    return {double(v[0]), double(v[1]), double(v[2])};
}

}  // namespace

// Enters the leaf at place index of the leaf order in its level's key map, noting a key that an
// earlier leaf holds already.
inline void level_index::key_leaf(frame_set& fs, uint32_t index) {
    oct_tree& leaf = *fs.levels.leaf_order_[index];
    const int level = leaf.depth - 1;
    const cell_key key = position_key(leaf.centroid, fs.tree.extent());
    fs.levels.leaf_keyed_[index] = key;
    leaf.leaf_place = int(index);
    if (!level_at(fs.levels.keys_, level).try_emplace(key, index))
        fs.levels.collisions_[size_t(level)] = 1;
}

// Re-keys, in place, the leaves whose bounds were recomputed since the last reset. Sound only
// while the maps hold every leaf under a key of its own, for the leaves and the extent of that
// reset: then what the maps answer does not depend on the order the keys went in, and mending
// them answers as a full reset would. False when that does not hold or a new key meets one that
// is there already (the first leaf in leaf order must keep it): the caller resets in full.
inline bool level_index::rekey_moved(frame_set& fs) {
    level_index& index = fs.levels;
    if (!index.keys_whole_ || index.leaves_changed_ || fs.tree.extent() != index.keyed_extent_)
        return false;
    thread_local std::vector<std::pair<uint32_t, cell_key>> changed;
    changed.clear();
    for (const oct_tree* n : index.rekey_nodes_) {
        const int place = n->leaf_place;
        if (place < 0 || size_t(place) >= index.leaf_order_.size() ||
            index.leaf_order_[size_t(place)] != n)
            continue;  // not a leaf of the index
        const cell_key key = position_key(n->centroid, fs.tree.extent());
        if (key != index.leaf_keyed_[size_t(place)]) changed.emplace_back(uint32_t(place), key);
    }
    // A node recomputed by two bounds passes is listed twice.
    std::sort(changed.begin(), changed.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    changed.erase(std::unique(changed.begin(), changed.end(),
                              [](const auto& a, const auto& b) { return a.first == b.first; }),
                  changed.end());
    // Every old key goes before any new one comes in: two leaves may swap keys.
    for (const auto& [place, key] : changed)
        level_at(index.keys_, index.leaf_order_[place]->depth - 1).erase(index.leaf_keyed_[place]);
    for (const auto& [place, key] : changed) {
        index.leaf_keyed_[place] = key;
        const int level = index.leaf_order_[place]->depth - 1;
        if (!level_at(index.keys_, level).try_emplace(key, place)) return false;
    }
    return true;
}

// The range trees are made on the first query after the index was reset: most steps re-home
// their particles by the tree walk alone and never query. The leaves and their centroids stay as
// they were at the reset until the next bounds pass, after which only the next reset queries.
// While the leaves stay the same ones, the trees are mended for the centroids that moved:
// a stroke step moves a few leaves of a frame that may have hundreds of thousands.
inline void level_index::make_due_trees(const frame_set& fs) {
    if (!fs.levels.trees_due_.load(std::memory_order_acquire)) return;
    mutex_hold hold(fs.levels.trees_lock_);
    if (!fs.levels.trees_due_.load(std::memory_order_relaxed)) return;
    auto& trees = fs.levels.trees_;
    if (fs.levels.trees_whole_) {
        std::sort(fs.levels.tree_moves_.begin(), fs.levels.tree_moves_.end());
        fs.levels.tree_moves_.erase(
            std::unique(fs.levels.tree_moves_.begin(), fs.levels.tree_moves_.end()),
            fs.levels.tree_moves_.end());
        std::vector<std::vector<std::pair<int, kd_tree::point>>> moves(trees.size());
        for (uint32_t place : fs.levels.tree_moves_) {
            const oct_tree* leaf = fs.levels.leaf_order_[place];
            level_at(moves, leaf->depth - 1)
                .emplace_back(int(fs.levels.leaf_tree_place_[place]), as_doubles(leaf->centroid));
        }
        for (size_t level = 0; level < trees.size(); ++level)
            if (!moves[level].empty()) trees[level].move(moves[level]);
    } else {
        std::vector<std::vector<kd_tree::point>> points(trees.size());
        fs.levels.leaf_tree_place_.resize(fs.levels.leaf_order_.size());
        for (size_t place = 0; place < fs.levels.leaf_order_.size(); ++place) {
            auto& level = level_at(points, fs.levels.leaf_order_[place]->depth - 1);
            fs.levels.leaf_tree_place_[place] = uint32_t(level.size());
            level.push_back(as_doubles(fs.levels.leaf_order_[place]->centroid));
        }
        for (size_t level = 0; level < trees.size(); ++level)
            trees[level].assign(points[level]);
        fs.levels.trees_whole_ = true;
    }
    fs.levels.tree_moves_.clear();
    fs.levels.trees_due_.store(false, std::memory_order_release);
}

namespace {

// Where a point lies against a box: clearly inside, clearly outside, or too near a face to say
// without the exact comparisons of is_outside.
enum class side { inside, outside, near_face };

side side_of(const oct_tree& node, const vec3& p) {
    const float far = node.half_size * 2.0f;
    bool inside = true;
    for (int i = 0; i < 3; ++i) {
        const float lo = node.corner[i], hi = lo + far;
        const float slack =
            1e-5f * std::max({std::fabs(p[i]), std::fabs(lo), std::fabs(hi), node.half_size});
        if (p[i] < lo - slack || p[i] > hi + slack) return side::outside;
        if (p[i] < lo + slack || p[i] > hi - slack) inside = false;
    }
    return inside ? side::inside : side::near_face;
}

// The child of node that holds p clearly inside (or none, into next); false when p lies too near
// a face of one of them to say. Usually that is the child under p's integer coordinates in the
// node; otherwise every child is looked at.
bool child_at(const oct_tree& node, const vec3& p, const oct_tree*& next) {
    next = nullptr;
    const vec3 g = (p - node.corner) / node.half_size;
    bool clear = true;
    for (int i = 0; i < 3; ++i) {
        const float fraction = g[i] - std::floor(g[i]);
        if (!(fraction > 1e-3f && fraction < 1.0f - 1e-3f)) clear = false;
    }
    if (clear) {
        auto it = node.children.find(make_key(g));
        if (it != node.children.end() && side_of(it->second, p) == side::inside) {
            next = &it->second;
            return true;
        }
    }
    for (const auto& [key, child] : node.children) {
        const side s = side_of(child, p);
        if (s == side::near_face) return false;
        if (s == side::inside) next = &child;  // children do not overlap
    }
    return true;
}

// The first cell of a re-homing ring, found without the range query where that gives the same
// answer: at a level whose keys are unique, the only leaf of the level that can hold p is the
// one the tree walk reaches, and the query lists it exactly when its centroid lies within the
// radius. Returns false (undecided) near a cell face or the radius, at a level with shared keys,
// or when the index is older than the node bounds.
}  // namespace

inline bool level_index::direct_candidate(const frame_set& fs, const vec3& p, float radius,
                                          int level, const oct_tree* old, oct_tree*& found) {
    found = nullptr;
    if (!fs.levels.current_ || level < 0 || size_t(level) >= fs.levels.collisions_.size() ||
        fs.levels.collisions_[size_t(level)])
        return false;
    const oct_tree* node = &fs.tree.root();
    while (node->depth < level + 1) {
        const oct_tree* next = nullptr;
        if (!child_at(*node, p, next)) return false;
        if (!next) return true;  // no cell of this depth holds p
        node = next;
    }
    if (!node->children.empty() || node == old) return true;
    double d2 = 0.0;
    for (int i = 0; i < 3; ++i) {
        const double d = double(node->centroid[i]) - double(p[i]);
        d2 += d * d;
    }
    const double r2 = double(radius) * double(radius);
    if (std::fabs(d2 - r2) <= 1e-9 * r2) return false;
    if (d2 < r2) found = const_cast<oct_tree*>(node);
    return true;
}

cell_key position_key(const vec3& v, float extent) {
    // Keys resolve a hundred-thousandth of the extent: finer than any two leaf centroids lie.
    constexpr double key_steps = 100000.0;
    vec3 scaled;
    for (int i = 0; i < 3; ++i)
        scaled[i] = float(double(v[i] / extent) * key_steps);
    return make_key(scaled);
}

void create_levels(frame_set& fs) {
    fs.levels.keys_.assign(size_t(fs.tree.depth()), {});
    fs.levels.trees_.clear();
    fs.levels.trees_.resize(size_t(fs.tree.depth()));
    fs.levels.keys_whole_ = false;
    fs.levels.trees_whole_ = false;
    reset_levels(fs);
}

void reset_levels(frame_set& fs) {
    fs.levels.trees_due_ = false;
    // The trees follow the centroids that the bounds passes since the last reset recomputed;
    // new leaves, or so many moves that mending would cost more, make them anew.
    if (fs.levels.leaves_changed_) fs.levels.trees_whole_ = false;
    if (fs.levels.trees_whole_) {
        for (const oct_tree* n : fs.levels.rekey_nodes_) {
            const int place = n->leaf_place;
            if (place >= 0 && size_t(place) < fs.levels.leaf_order_.size() &&
                fs.levels.leaf_order_[size_t(place)] == n)
                fs.levels.tree_moves_.push_back(uint32_t(place));
        }
        if (fs.levels.tree_moves_.size() > fs.levels.leaf_order_.size() / 8)
            fs.levels.trees_whole_ = false;
    }
    if (!fs.levels.trees_whole_) fs.levels.tree_moves_.clear();
    if (!level_index::rekey_moved(fs)) {
        for (auto& keys : fs.levels.keys_)
            keys.clear();
        fs.levels.collisions_.assign(fs.levels.keys_.size(), 0);
        // The leaves in tree order change only when nodes are added; otherwise the last walk
        // serves.
        if (fs.levels.leaves_changed_) {
            fs.levels.leaf_order_.clear();
            std::vector<oct_tree*> nodes;
            collect(fs.tree.root(), nodes);
            for (oct_tree* n : nodes)
                if (n->children.empty() && n->depth >= 1) fs.levels.leaf_order_.push_back(n);
            fs.levels.leaves_changed_ = false;
        }
        fs.levels.leaf_keyed_.resize(fs.levels.leaf_order_.size());
        for (size_t i = 0; i < fs.levels.leaf_order_.size(); ++i)
            level_index::key_leaf(fs, uint32_t(i));
        fs.levels.keyed_extent_ = fs.tree.extent();
        fs.levels.keys_whole_ =
            std::none_of(fs.levels.collisions_.begin(), fs.levels.collisions_.end(),
                         [](char c) { return c != 0; });
    }
    fs.levels.rekey_nodes_.clear();
    fs.levels.trees_due_ = true;
    fs.levels.current_ = true;
}

void find_cells(const frame_set& fs, const vec3& position, float radius, int level,
                std::vector<oct_tree*>& out) {
    out.clear();
    level_index::make_due_trees(fs);
    thread_local std::vector<kd_tree::point> found;
    level_at(fs.levels.trees_, level).range(as_doubles(position), double(radius), found);
    const auto& keys = level_at(fs.levels.keys_, level);
    for (const kd_tree::point& p : found) {
        const vec3 centroid{static_cast<float>(p[0]), static_cast<float>(p[1]),
                            static_cast<float>(p[2])};
        const uint32_t leaf = keys.find(position_key(centroid, fs.tree.extent()));
        if (leaf != leaf_keys::none) out.push_back(fs.levels.leaf_order_[leaf]);
    }
}

void rehome(frame_set& fs, particle& p) {
    p.moved = false;
    oct_tree* old = p.cell;
    if (!old) return;  // not placed yet: the next queued insertion places it
    mark_dirty(*old);
    if (!is_outside(*old, p.position)) return;

    auto move_to = [&](oct_tree& dest) {
        // One node lock at a time: the destination first, then the source.
        {
            mutex_hold hold(*dest.members_lock);
            dest.members.emplace(p.id, &p);
        }
        p.cell = &dest;
        {
            mutex_hold hold(*old->members_lock);
            old->members.erase(p.id);
        }
        mark_for_refresh(dest);  // a cell above the leaf depth hands it down at the refresh
    };

    // Each round widens the search by this many leaf half-sizes and goes one level up.
    constexpr double search_growth = 3.5;
    thread_local std::vector<oct_tree*> candidates;
    for (int r = 0; r < fs.tree.depth(); ++r) {
        const float radius = float(double(fs.tree.leaf_half()) * search_growth * double(r + 1));
        const int level = fs.tree.depth() - r - 1;
        oct_tree* direct = nullptr;
        if (level_index::direct_candidate(fs, p.position, radius, level, old, direct)) {
            if (!direct) continue;
            mark_dirty(*direct);
            move_to(*direct);
            return;
        }
        find_cells(fs, p.position, radius, level, candidates);
        for (oct_tree* c : candidates) {
            if (c == old || is_outside(*c, p.position)) continue;
            // Whatever ring found it, the receiving cell's bounds must now include p.
            mark_dirty(*c);
            move_to(*c);
            return;
        }
    }
    mark_dirty(fs.tree.root());
    move_to(fs.tree.root());
}

}  // namespace kavrin
