#pragma once
// Three-dimensional k-d tree of leaf centroids with radius queries. Insertion sends points that
// are strictly smaller on the split axis left; results come in the reverse of the order found,
// which decides which of two touching cells receives a particle.

#include <array>
#include <memory>
#include <vector>

namespace kavrin {

class kd_tree {
  public:
    using point = std::array<double, 3>;

    kd_tree() = default;
    kd_tree(kd_tree&&) = default;
    kd_tree& operator=(kd_tree&&) = default;

    void insert(const point& p);
    void clear();
    size_t size() const { return nodes_.size(); }
    bool has_rect() const { return !nodes_.empty(); }
    const point& rect_min() const { return rect_min_; }
    const point& rect_max() const { return rect_max_; }

    // Points within radius of q, in the reverse of the traversal order.
    void range(const point& q, double radius, std::vector<point>& out) const;

  private:
    struct node {
        point p;
        int axis;
        int left = -1;
        int right = -1;
    };
    void range_from(int n, const point& q, double radius, std::vector<point>& found) const;

    // Nodes live in one array and link by index: clearing and rebuilding every step is cheap.
    std::vector<node> nodes_;
    point rect_min_{}, rect_max_{};
};

}  // namespace kavrin
