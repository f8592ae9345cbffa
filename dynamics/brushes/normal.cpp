// Normal: pushes along the surface normal under the brush (the stroke's vector); "shift" pulls.
#include "dynamics/brushes/moving_brush.h"

namespace kavrin {

namespace {

class normal_mode final : public moving_brush {
    vec3 direction(const particle&, const stroke& s) const override { return s.vector; }
    float sign(const stroke& s) const override { return s.keys.at("shift") ? -1.0f : 1.0f; }
    float step_length() const override { return 0.01f; }
};

}  // namespace

const brush_mode& normal_brush() {
    static const normal_mode mode;
    return mode;
}

}  // namespace kavrin
