#include "dynamics/box_table.h"

namespace kavrin {

int box_table::add() {
    const size_t slot = boxes_.size();
    boxes_.push_back({});
    if (slot / run_length >= runs_.size()) runs_.push_back({});
    return int(slot);
}

void box_table::set(int slot, const vec3& lo, const vec3& hi, bool occupied) {
    box& b = boxes_[size_t(slot)];
    b.lo = lo;
    b.hi = hi;
    b.occupied = occupied;
}

void box_table::touch(int slot) {
    runs_[size_t(slot) / run_length].stale = true;
}

const box_table::run& box_table::fresh_run(size_t c) {
    run& r = runs_[c];
    if (!r.stale) return r;
    r = run();
    const size_t end = std::min(boxes_.size(), (c + 1) * run_length);
    for (size_t s = c * run_length; s < end; ++s)
        if (boxes_[s].occupied) {
            r.bounds.add(boxes_[s].hi);
            r.bounds.add(boxes_[s].lo);
            r.any = true;
        }
    return r;
}

point_box box_table::occupied_bounds() {
    point_box all;
    for (size_t c = 0; c < runs_.size(); ++c) {
        const run& r = fresh_run(c);
        if (!r.any) continue;
        all.add(r.bounds.max);
        all.add(r.bounds.min);
    }
    return all;
}

}  // namespace kavrin
