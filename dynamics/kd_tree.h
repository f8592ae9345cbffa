#pragma once
// Three-dimensional k-d tree of leaf centroids with radius queries. Insertion sends points that
// are strictly smaller on the split axis left; results come in the reverse of the order found,
// which decides which of two touching cells receives a particle. Points can be moved in place:
// the tree then mends itself into the one that inserting the points anew, in the same order,
// would build.

#include <array>
#include <memory>
#include <utility>
#include <vector>

namespace kavrin {

class kd_tree {
  public:
    using point = std::array<double, 3>;

    kd_tree() = default;
    kd_tree(kd_tree&&) = default;
    kd_tree& operator=(kd_tree&&) = default;

    // Appends p: its index is the number of points inserted before it.
    void insert(const point& p);
    // The tree of points inserted in their order; quicker than inserting them one by one.
    void assign(const std::vector<point>& points);
    void clear();
    size_t size() const { return nodes_.size(); }
    bool has_rect() const { return !nodes_.empty(); }
    // The bounds of every point; only while has_rect().
    const point& rect_min() const { return nodes_.front().lo; }
    const point& rect_max() const { return nodes_.front().hi; }

    // Gives the points at the listed indices their new values. Where a new value falls on the
    // other side of a split than before, the subtree under that split is rebuilt, so the tree
    // stays exactly the one a fresh insertion of every point in index order makes.
    void move(const std::vector<std::pair<int, point>>& moves);

    // Points within radius of q, in the reverse of the traversal order.
    void range(const point& q, double radius, std::vector<point>& out) const;

  private:
    struct node {
        point p;
        int axis;
        int left = -1;
        int right = -1;
        int parent = -1;
        point lo, hi;  // bounds of the points of the subtree under this node, itself included
    };
    void range_from(int n, const point& q, double radius, std::vector<point>& found) const;
    // Hangs node index below the node at from, by the insertion rule.
    void attach(int from, int index);
    // Bounds of node n from its point and its children's bounds; true when they changed.
    bool refit(int n);
    // Whether every point under n lies on the side of n's split that it hangs on.
    bool splits_hold(int n) const;
    void rebuild_under(int n);

    // Nodes live in one array, by insertion index, and link by index; a parent always has a
    // smaller index than its children.
    std::vector<node> nodes_;
};

}  // namespace kavrin
