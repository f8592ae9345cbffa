#include "dynamics/kd_tree.h"

#include <algorithm>
#include <cmath>

namespace kavrin {

void kd_tree::insert(const point& p) {
    const int index = int(nodes_.size());
    if (nodes_.empty()) {
        nodes_.push_back({p, 0});
        rect_min_ = rect_max_ = p;
        return;
    }
    int n = 0;
    for (;;) {
        node& at = nodes_[size_t(n)];
        int& next = p[size_t(at.axis)] < at.p[size_t(at.axis)] ? at.left : at.right;
        if (next < 0) {
            next = index;
            const int axis = (at.axis + 1) % 3;
            nodes_.push_back({p, axis});
            break;
        }
        n = next;
    }
    for (size_t i = 0; i < 3; ++i) {
        rect_min_[i] = std::min(rect_min_[i], p[i]);
        rect_max_[i] = std::max(rect_max_[i], p[i]);
    }
}

void kd_tree::clear() {
    nodes_.clear();
}

void kd_tree::range_from(int n, const point& q, double radius, std::vector<point>& found) const {
    const node& at = nodes_[size_t(n)];
    double d2 = 0.0;
    for (size_t i = 0; i < 3; ++i)
        d2 += (at.p[i] - q[i]) * (at.p[i] - q[i]);
    if (radius * radius >= d2) found.push_back(at.p);

    const double dx = q[size_t(at.axis)] - at.p[size_t(at.axis)];
    const int near = dx <= 0.0 ? at.left : at.right;
    const int far = dx <= 0.0 ? at.right : at.left;
    if (near >= 0) range_from(near, q, radius, found);
    if (radius > std::fabs(dx) && far >= 0) range_from(far, q, radius, found);
}

void kd_tree::range(const point& q, double radius, std::vector<point>& out) const {
    out.clear();
    if (nodes_.empty()) return;
    range_from(0, q, radius, out);
    // Each result goes in front of the earlier ones.
    std::reverse(out.begin(), out.end());
}

}  // namespace kavrin
