#pragma once
// Which points of a large picture can show. A point is left out only when, at every pixel it may
// cover, another point certainly covers that pixel nearer by a margin: it never wins a pixel,
// and the points drawn with it decide every pixel as before. Drawing only the rest, in the same
// order, gives exactly the pixels of a draw of them all, at a fraction of a software renderer's
// cost: in a dense cloud most points lie behind its surface.

#include <cstdint>
#include <vector>

#include "base/vec3.h"

namespace kavrin {

// How points reach the window: projection times model-view (column-major) and the viewport.
struct screen_mapping {
    double mvp[16] = {};
    int viewport[4] = {0, 0, 0, 0};
    // The matrices and viewport current in GL (a context must be current).
    static screen_mapping current();
    // p's normalised device coordinates; false behind the eye, where they mean nothing.
    bool project(const vec3& p, double ndc[3]) const;
    // Window x and y (pixels, GL's y up) of normalised device coordinates.
    double window_x(double ndc_x) const { return viewport[0] + (ndc_x + 1.0) * 0.5 * viewport[2]; }
    double window_y(double ndc_y) const { return viewport[1] + (ndc_y + 1.0) * 0.5 * viewport[3]; }
};

// The slots among `live`, in that order, whose points of point_size pixels may show under
// screen; positions holds every slot's position. Shared among up to `threads` threads; throws
// std::bad_alloc when memory runs out.
std::vector<uint32_t> visible_slots(const std::vector<vec3>& positions,
                                    const std::vector<uint32_t>& live, const screen_mapping& screen,
                                    float point_size, int threads);

}  // namespace kavrin
