#pragma once
// Bounds of every octree node in one flat table, by the node's slot, grouped in runs of slots
// whose joint bounds are kept, so that the cloud's extent and the boxes near a ray are found
// without walking the tree.

#include <algorithm>
#include <vector>

#include "base/cell_key.h"
#include "base/vec3.h"

namespace kavrin {

class box_table {
  public:
    struct box {
        vec3 lo, hi;
        bool occupied = false;
    };

    // A new slot, unoccupied.
    int add();
    size_t size() const { return boxes_.size(); }
    const box& at(int slot) const { return boxes_[size_t(slot)]; }
    // Writes one slot. Threads may write different slots at once; touch() the slot afterwards,
    // on one thread, so that the joint bounds follow.
    void set(int slot, const vec3& lo, const vec3& hi, bool occupied);
    void touch(int slot);

    // Point-box summary of the bounds of every occupied slot (each box adds both corners).
    point_box occupied_bounds();

    // Calls f(slot) for every occupied slot whose box, grown by margin on every side, may meet
    // the region; may_meet(lo, hi) must answer true for any box that meets it.
    template <class MayMeet, class F>
    void visit(float margin, MayMeet may_meet, F f) {
        const vec3 m(margin, margin, margin);
        for (size_t c = 0; c < runs_.size(); ++c) {
            const run& r = fresh_run(c);
            if (!r.any || !may_meet(r.bounds.min - m, r.bounds.max + m)) continue;
            const size_t end = std::min(boxes_.size(), (c + 1) * run_length);
            for (size_t s = c * run_length; s < end; ++s)
                if (boxes_[s].occupied && may_meet(boxes_[s].lo - m, boxes_[s].hi + m)) f(int(s));
        }
    }

  private:
    static constexpr size_t run_length = 64;
    struct run {
        point_box bounds;
        bool any = false;
        bool stale = false;
    };
    const run& fresh_run(size_t c);

    std::vector<box> boxes_;
    std::vector<run> runs_;
};

}  // namespace kavrin
