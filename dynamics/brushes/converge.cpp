// Converge: pulls each particle towards the brush's centre, in shorter steps than a push.
#include "dynamics/brushes/moving_brush.h"

namespace kavrin {

namespace {

class converge_mode final : public moving_brush {
    vec3 direction(const particle& p, const stroke& s) const override {
        return normalise(s.centre - p.position);
    }
    float sign(const stroke&) const override { return 1.0f; }
    float step_length() const override { return 0.003f; }
};

}  // namespace

const brush_mode& converge_brush() {
    static const converge_mode mode;
    return mode;
}

}  // namespace kavrin
