#include "dynamics/octree.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "dynamics/frame_set.h"
#include "base/parallel.h"
#include "base/strict.h"
#include "dynamics/frame_host.h"

namespace kavrin {

namespace {

bool by_id(const member_list::entry& a, const member_list::entry& b) {
    return a.first < b.first;
}

}  // namespace

size_t member_list::count(int32_t id) const {
    auto it = std::lower_bound(items_.begin(), items_.end(), entry(id, nullptr), by_id);
    return it != items_.end() && it->first == id ? 1 : 0;
}

bool member_list::emplace(int32_t id, particle* p) {
    auto it = std::lower_bound(items_.begin(), items_.end(), entry(id, nullptr), by_id);
    if (it != items_.end() && it->first == id) return false;
    items_.insert(it, entry(id, p));
    return true;
}

size_t member_list::erase(int32_t id) {
    auto it = std::lower_bound(items_.begin(), items_.end(), entry(id, nullptr), by_id);
    if (it == items_.end() || it->first != id) return 0;
    items_.erase(it);
    return 1;
}

void member_list::clear() {
    std::vector<entry>().swap(items_);
}

void member_list::sort() {
    if (!std::is_sorted(items_.begin(), items_.end(), by_id))
        std::sort(items_.begin(), items_.end(), by_id);
}

void mark_dirty(oct_tree& node) {
    // The plain read spares the locked exchange for the many particles of an already dirty node.
    if (node.dirty.load(std::memory_order_relaxed) || node.dirty.exchange(true) || !node.owner)
        return;
    frame_tree& tree = node.owner->tree;
    mutex_hold hold(tree.node_lists_lock_);
    tree.dirty_nodes_.push_back(&node);
}

void mark_for_refresh(oct_tree& node) {
    if (!node.owner || node.depth >= node.owner->tree.depth_) return;
    frame_tree& tree = node.owner->tree;
    mutex_hold hold(tree.node_lists_lock_);
    tree.refresh_nodes_.push_back(&node);
}

std::vector<oct_tree*> frame_tree::due_nodes() const {
    mutex_hold hold(node_lists_lock_);
    return dirty_nodes_;
}

void init(oct_tree& node, int depth, float half_size, const vec3& corner, frame_set* owner) {
    node.dirty = false;
    node.centroid = vec3();
    node.members_lock = std::make_shared<mutex>();
    node.depth = depth;
    node.half_size = half_size;
    node.corner = corner;
    node.owner = owner;
    if (owner) {
        if (node.slot < 0) node.slot = owner->tree.boxes_.add();
        owner->levels.note_new_node();
    }
    mark_dirty(node);
}

vec3 centre(const oct_tree& node) {
    return node.corner + vec3(node.half_size, node.half_size, node.half_size);
}

bool is_outside(const oct_tree& node, const vec3& position) {
    const float far = node.half_size * 2.0f;
    int inside = 0;
    for (int i = 0; i < 3; ++i)
        if (node.corner[i] <= position[i] && position[i] <= node.corner[i] + far) ++inside;
    return inside < 3;
}

oct_tree& make_child(oct_tree& node, const cell_key& coords) {
    auto [it, made] = node.children.try_emplace(coords);
    if (made)
        init(it->second, node.depth + 1, node.half_size * 0.5f,
             node.corner + key_coords(coords) * node.half_size, node.owner);
    return it->second;
}

namespace {

// A particle on its way down while a cell is subdivided, its position copied: the levels below
// read it from one compact array, not from particles spread over the whole frame's memory.
struct placing {
    int32_t id;
    vec3 position;
    particle* p;
};

// The arrays one subdivision works in, each as long as the particles it places.
struct placing_arrays {
    std::vector<placing> items, scratch;
    std::vector<int> bucket;
};

// The child of node at position's integer coordinates in the node, clamped to the node.
cell_key child_key(const oct_tree& node, const vec3& position) {
    vec3 g = (position - node.corner) / node.half_size;
    for (int a = 0; a < 3; ++a) {
        if (g[a] < 0.0f)
            g[a] = 0.0f;
        else if (g[a] >= 2.0f)
            g[a] = 1.0f;
    }
    return make_key(g);
}

// Subdivides node, whose particles are items[begin, end) in ascending id order: each goes to the
// child under it, keeping that order, and children above max_depth are subdivided in turn (in
// map order, as a walk of the tree meets them).
void split(oct_tree& node, placing_arrays& a, size_t begin, size_t end, int max_depth,
           const child_dims& dims) {
    for (int i = 0; i < dims.n[0]; ++i)
        for (int j = 0; j < dims.n[1]; ++j)
            for (int k = 0; k < dims.n[2]; ++k)
                make_child(node, make_key(i, j, k));

    // The children that receive particles, in the order first met; the usual keys 0 and 1
    // find theirs without a map look-up.
    std::vector<oct_tree*> targets;
    int usual[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
    for (size_t i = begin; i < end; ++i) {
        const cell_key key = child_key(node, a.items[i].position);
        const bool is_usual =
            key.x >= 0 && key.x < 2 && key.y >= 0 && key.y < 2 && key.z >= 0 && key.z < 2;
        int* cached = is_usual ? &usual[key.x * 4 + key.y * 2 + key.z] : nullptr;
        int b = cached ? *cached : -1;
        if (b < 0) {
            oct_tree* child = &strict_at(node.children, key, "the children of an octree cell");
            b = int(std::find(targets.begin(), targets.end(), child) - targets.begin());
            if (size_t(b) == targets.size()) targets.push_back(child);
            if (cached) *cached = b;
        }
        mark_dirty(*targets[size_t(b)]);  // its bounds must now include the particle
        a.bucket[i] = b;
    }
    // A stable counting sort by child keeps each child's particles in id order.
    std::vector<size_t> start(targets.size() + 1, 0);
    for (size_t i = begin; i < end; ++i)
        ++start[size_t(a.bucket[i]) + 1];
    start[0] = begin;
    for (size_t b = 1; b <= targets.size(); ++b)
        start[b] += start[b - 1];
    std::vector<size_t> fill(start.begin(), start.end() - 1);
    for (size_t i = begin; i < end; ++i)
        a.scratch[fill[size_t(a.bucket[i])]++] = a.items[i];
    std::copy(a.scratch.begin() + std::ptrdiff_t(begin), a.scratch.begin() + std::ptrdiff_t(end),
              a.items.begin() + std::ptrdiff_t(begin));

    for (auto& [key, child] : node.children) {
        const size_t b = size_t(std::find(targets.begin(), targets.end(), &child) - targets.begin());
        const bool receives = b < targets.size();
        if (child.depth < max_depth && receives && child.members.empty()) {
            split(child, a, start[b], start[b + 1], max_depth, child_dims());
            continue;
        }
        if (receives) {
            for (size_t i = start[b]; i < start[b + 1]; ++i) {
                a.items[i].p->cell = &child;
                child.members.append(a.items[i].id, a.items[i].p);
            }
            child.members.sort();
        }
        // A child that held particles already takes the new ones among its own.
        if (child.depth < max_depth && !child.members.empty())
            subdivide(child, max_depth);
    }
}

}  // namespace

void subdivide(oct_tree& node, int max_depth, const child_dims& dims) {
    placing_arrays a;
    a.items.reserve(node.members.size());
    for (const auto& [id, p] : node.members)
        a.items.push_back({id, p->position, p});
    node.members.clear();
    a.scratch.resize(a.items.size());
    a.bucket.resize(a.items.size());
    split(node, a, 0, a.items.size(), max_depth, dims);
}

void refresh_listed(frame_set& fs) {
    std::vector<oct_tree*> listed;
    {
        mutex_hold hold(fs.tree.node_lists_lock_);
        listed.swap(fs.tree.refresh_nodes_);
    }
    // Parents before children, as a walk from the root meets them: a parent's particles may go
    // down into a listed child.
    std::stable_sort(listed.begin(), listed.end(),
                     [](const oct_tree* a, const oct_tree* b) { return a->depth < b->depth; });
    for (oct_tree* node : listed)
        if (fs.tree.depth_ > node->depth && !node->members.empty())
            subdivide(*node, fs.tree.depth_);
}

void collect(oct_tree& node, std::vector<oct_tree*>& list) {
    list.push_back(&node);
    for (auto& [key, child] : node.children)
        collect(child, list);
}

int tree_depth_for(size_t particle_count) {
    const auto whole = static_cast<unsigned long long>(double(particle_count) * 0.01);
    return int(std::to_string(whole).size()) + 1;
}

void build_tree(frame_set& fs) {
    point_box box;
    for (const auto& [id, p] : fs.particles)
        box.add(p.position);
    const vec3 scale = box.scale();
    frame_tree& tree = fs.tree;
    tree.extent_ = box.largest_scale();
    if (fs.host) fs.host->raise_max_scale(tree.extent_);

    tree.depth_ = tree_depth_for(fs.particles.size());
    tree.leaf_half_ = tree.extent_ * std::pow(0.5f, float(tree.depth_ + 1));

    const float half = tree.extent_ * 0.5f;
    child_dims dims;
    vec3 rounded;
    for (int i = 0; i < 3; ++i) {
        dims.n[i] = int(std::ceil(scale[i] / half));
        rounded[i] = float(dims.n[i]) * half;
    }
    init(tree.root_, 0, half, (box.min + box.max - rounded) * 0.5f, &fs);

    tree.insert_queue_.clear();
    tree.insert_queue_.reserve(fs.particles.size());
    for (auto& [id, p] : fs.particles)
        tree.insert_queue_.push_back(&p);
    subdivide(tree.root_, tree.depth_, dims);
}

void insert_queued(frame_set& fs) {
    oct_tree& root = fs.tree.root_;
    std::vector<particle*>& queue = fs.tree.insert_queue_;
    for (particle* p : queue) {
        const vec3 g = (p->position - root.corner) / root.half_size;
        oct_tree& child = make_child(root, make_key(g));
        p->cell = &child;
        mark_dirty(child);
        child.members.append(p->id, p);
    }
    if (!queue.empty())
        for (auto& [key, child] : root.children) {
            child.members.sort();
            if (!child.members.empty()) mark_for_refresh(child);
        }
    std::vector<particle*>().swap(queue);
    refresh_listed(fs);
}

void update_bounds(oct_tree& node) {
    node.occupied = false;
    if (!node.members.empty()) {
        vec3 sum;
        point_box box;
        int count = 0;
        for (const auto& [id, p] : node.members) {
            if (!p->live()) continue;
            sum += p->position;
            box.add(p->position);
            ++count;
        }
        node.bound_max = box.max;
        node.bound_min = box.min;
        if (count > 0) {
            node.occupied = true;
            node.centroid = sum / float(count);
        }
    }
    if (!node.occupied) {
        node.centroid = centre(node);
        node.bound_min = node.bound_max = node.centroid;
    }
    node.dirty = false;
    if (node.owner) node.owner->levels.mark_outdated(std::memory_order_relaxed);
    if (node.owner && node.slot >= 0)
        node.owner->tree.boxes_.set(node.slot, node.bound_min, node.bound_max, node.occupied);
}

void bounds_pass(frame_set& fs, bool sequential) {
    std::vector<oct_tree*> dirty;
    {
        mutex_hold hold(fs.tree.node_lists_lock_);
        dirty.swap(fs.tree.dirty_nodes_);
    }
    if (sequential) {
        for (oct_tree* n : dirty)
            update_bounds(*n);
    } else {
        parallel_for(frame_job(fs, "update collision"), int(dirty.size()), worker_count(fs),
                     [&dirty](const share& s) {
                         for (int i : s)
                             update_bounds(*dirty[size_t(i)]);
                     });
    }
    for (const oct_tree* n : dirty)
        if (n->slot >= 0) fs.tree.boxes_.touch(n->slot);
    // Only these centroids can have changed: the next index reset re-keys just them.
    fs.levels.note_recomputed(dirty);
}

void measure_extent(frame_set& fs) {
    point_box bounds = fs.tree.boxes_.occupied_bounds();
    if (bounds.min[0] > bounds.max[0]) {
        // No live particle: the extent of them all, live or not, as the tree build takes it.
        // An extent of 0 would give every leaf the same position key, and the particles a
        // stroke may bring back could no longer be found.
        for (const auto& [id, p] : fs.particles)
            bounds.add(p.position);
    }
    fs.tree.extent_ = bounds.largest_scale();
    if (fs.host) fs.host->raise_max_scale(fs.tree.extent_);
}

}  // namespace kavrin
