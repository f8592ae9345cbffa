#pragma once
// The brush vector of a stroke step given without one, as the viewport computes it on the mouse
// move that sends the step (see brush::update_vector): nothing with Ctrl held; for "normal" the
// surface normal of the painted frame under the pick, turned towards the eye; for "grab" the
// pick's motion as the screen shows it, over the last ten picks. Other brushes use no vector.

#include <optional>
#include <vector>

#include "dynamics/frame_set.h"
#include "scene/stroke_log.h"
#include "base/vec3.h"

namespace kavrin {


// The vector step `index` of steps takes on fs (the painted frame as it is before the step):
// zero with Ctrl held or for a brush that needs none; nothing when none can be computed (no
// surface under a normal pick; a grab whose picks show no motion on the screen), where the
// viewport would keep the vector it had.
//
// The window reads the pointer's motion on the screen; without one, a grab takes the motion of
// the picks themselves across the plane facing the eye: from the pick ten steps before (or the
// stroke's first) to this one, or, on the first step, from it to the first pick that differs.
std::optional<vec3> step_vector(const frame_set& fs, const std::vector<step_inputs>& steps,
                                size_t index);

}  // namespace kavrin
