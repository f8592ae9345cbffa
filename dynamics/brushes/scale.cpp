// Scale: grows particles ("shift" shrinks them, never below zero); "ctrl" relaxes them towards
// their rest scale.
#include <cmath>

#include "base/strict.h"
#include "dynamics/brushes/brush_mode.h"

namespace kavrin {

namespace {

class scale_mode final : public brush_mode {
    void paint(particle& p, const stroke& s) const override {
        const float b = s.reach * (s.amount * strict_at(s.falloff, p.id, "the stroke's falloff"));
        if (s.keys.at("ctrl")) {
            const float d = p.rest_scale - p.scale;
            const float step = float(double(d * b) * 0.03);
            if (double(s.reach) * 0.05 > double(std::fabs(d) - std::fabs(step)))
                p.scale = p.rest_scale;
            else
                p.scale += step;
            return;
        }
        p.scale += b * (s.keys.at("shift") ? -1.0f : 1.0f) * 0.1f;
        if (p.scale < 0.0f) p.scale = 0.0f;
    }
    bool at_limit(const particle& p, const stroke& s) const override {
        if (s.keys.at("ctrl")) return p.scale == p.rest_scale;
        return s.keys.at("shift") && p.scale == 0.0f;
    }
    void carry(particle& p, const stroke& s) const override {
        const float r0 = value_as<float>(strict_at(s.recorded, p.id, "the stroke's recorded values"));
        const stroke_value& t = strict_at(s.targets, p.id, "the stroke's targets");
        if (s.keys.at("ctrl")) {
            // Share of the way to rest that the painted particle went (see moving_brush).
            const auto& pair = value_as<std::array<float, 2>>(t);
            const float moved = std::fabs(pair[0] - r0), whole = std::fabs(pair[1] - r0);
            p.scale += (p.rest_scale - p.scale) * s.weight * (whole > 0.0f ? moved / whole : 0.0f);
        } else {
            p.scale += (value_as<float>(t) - r0) * s.weight;
            if (s.keys.at("shift") && p.scale < 0.0f) p.scale = 0.0f;
        }
    }
};

}  // namespace

const brush_mode& scale_brush() {
    static const scale_mode mode;
    return mode;
}

}  // namespace kavrin
