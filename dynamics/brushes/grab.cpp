// Grab: moves along the stroke's vector, which follows the pointer.
#include "dynamics/brushes/moving_brush.h"

namespace kavrin {

namespace {

class grab_mode final : public moving_brush {
    vec3 direction(const particle&, const stroke& s) const override { return s.vector; }
    float sign(const stroke&) const override { return 1.0f; }
    float step_length() const override { return 0.01f; }
};

}  // namespace

const brush_mode& grab_brush() {
    static const grab_mode mode;
    return mode;
}

}  // namespace kavrin
