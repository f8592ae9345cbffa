#include "dynamics/kd_tree.h"

#include <algorithm>
#include <cmath>

namespace kavrin {

void kd_tree::attach(int from, int index) {
    const point& p = nodes_[size_t(index)].p;
    for (int n = from;;) {
        node& at = nodes_[size_t(n)];
        int& next = p[size_t(at.axis)] < at.p[size_t(at.axis)] ? at.left : at.right;
        if (next < 0) {
            next = index;
            node& fresh = nodes_[size_t(index)];
            fresh.parent = n;
            fresh.axis = (at.axis + 1) % 3;
            return;
        }
        n = next;
    }
}

void kd_tree::insert(const point& p) {
    const int index = int(nodes_.size());
    node fresh;
    fresh.p = fresh.lo = fresh.hi = p;
    fresh.axis = 0;
    nodes_.push_back(fresh);
    if (index == 0) return;
    attach(0, index);
    for (int n = nodes_[size_t(index)].parent; n >= 0; n = nodes_[size_t(n)].parent) {
        node& at = nodes_[size_t(n)];
        for (size_t i = 0; i < 3; ++i) {
            at.lo[i] = std::min(at.lo[i], p[i]);
            at.hi[i] = std::max(at.hi[i], p[i]);
        }
    }
}

void kd_tree::assign(const std::vector<point>& points) {
    nodes_.clear();
    nodes_.reserve(points.size());
    for (const point& p : points) {
        const int index = int(nodes_.size());
        node fresh;
        fresh.p = fresh.lo = fresh.hi = p;
        fresh.axis = 0;
        nodes_.push_back(fresh);
        if (index > 0) attach(0, index);
    }
    // Children have larger indices than their parents: one pass from the last fits every bound.
    for (int n = int(nodes_.size()) - 1; n >= 0; --n)
        refit(n);
}

void kd_tree::clear() {
    nodes_.clear();
}

bool kd_tree::refit(int n) {
    node& at = nodes_[size_t(n)];
    point lo = at.p, hi = at.p;
    for (int child : {at.left, at.right}) {
        if (child < 0) continue;
        const node& c = nodes_[size_t(child)];
        for (size_t i = 0; i < 3; ++i) {
            lo[i] = std::min(lo[i], c.lo[i]);
            hi[i] = std::max(hi[i], c.hi[i]);
        }
    }
    const bool changed = lo != at.lo || hi != at.hi;
    at.lo = lo;
    at.hi = hi;
    return changed;
}

bool kd_tree::splits_hold(int n) const {
    const node& at = nodes_[size_t(n)];
    const size_t a = size_t(at.axis);
    if (at.left >= 0 && !(nodes_[size_t(at.left)].hi[a] < at.p[a])) return false;
    if (at.right >= 0 && !(nodes_[size_t(at.right)].lo[a] >= at.p[a])) return false;
    return true;
}

void kd_tree::rebuild_under(int n) {
    // The points under n stay under n: every split above it still holds. Inserted again in
    // index order they hang as a fresh build hangs them.
    thread_local std::vector<int> under;
    under.clear();
    for (int child : {nodes_[size_t(n)].left, nodes_[size_t(n)].right})
        if (child >= 0) under.push_back(child);
    for (size_t i = 0; i < under.size(); ++i) {
        const node& at = nodes_[size_t(under[i])];
        if (at.left >= 0) under.push_back(at.left);
        if (at.right >= 0) under.push_back(at.right);
    }
    std::sort(under.begin(), under.end());
    nodes_[size_t(n)].left = nodes_[size_t(n)].right = -1;
    for (int i : under)
        nodes_[size_t(i)].left = nodes_[size_t(i)].right = -1;
    for (int i : under)
        attach(n, i);
    // Children have larger indices than their parents: refit from the last up.
    for (auto it = under.rbegin(); it != under.rend(); ++it)
        refit(*it);
    refit(n);
}

void kd_tree::move(const std::vector<std::pair<int, point>>& moves) {
    for (const auto& [index, p] : moves)
        nodes_[size_t(index)].p = p;
    // Only the moved nodes and those above them whose children's bounds changed can have a
    // broken split.
    thread_local std::vector<int> above;
    above.clear();
    for (const auto& [index, p] : moves)
        for (int n = index; n >= 0; n = nodes_[size_t(n)].parent) {
            above.push_back(n);
            // Where the bounds stay, nothing above changes on this path.
            if (!refit(n)) break;
        }
    std::sort(above.begin(), above.end());
    above.erase(std::unique(above.begin(), above.end()), above.end());
    // Parents come first, so a broken split is mended before any below it is looked at; one
    // rebuilt with its subtree holds all of that subtree's splits again.
    for (int n : above)
        if (!splits_hold(n)) rebuild_under(n);
}

void kd_tree::range_from(int n, const point& q, double radius, std::vector<point>& found) const {
    const node& at = nodes_[size_t(n)];
    // A subtree whose bounds lie beyond the radius holds nothing to find: each point's distance
    // is at least the bounds' distance, in floating point too.
    double gap2 = 0.0;
    for (size_t i = 0; i < 3; ++i) {
        const double gap = q[i] < at.lo[i] ? at.lo[i] - q[i] : q[i] > at.hi[i] ? q[i] - at.hi[i] : 0.0;
        gap2 += gap * gap;
    }
    if (gap2 > radius * radius) return;

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
