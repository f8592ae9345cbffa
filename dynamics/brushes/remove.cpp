// Remove: fades particles out by lowering their weight; "ctrl" brings them back.
#include <cmath>

#include "base/strict.h"
#include "dynamics/brushes/brush_mode.h"

namespace kavrin {

namespace {

class remove_mode final : public brush_mode {
    void paint(particle& p, const stroke& s) const override {
        const float a = s.amount * strict_at(s.falloff, p.id, "the stroke's falloff");
        // Weight beyond +-1 is compressed logarithmically.
        const float v = p.weight - a * (s.keys.at("ctrl") ? -1.0f : 1.0f);
        if (v > 1.0f)
            p.weight = std::log10(v) + 1.0f;
        else if (v < -1.0f)
            p.weight = -std::log10(-v) - 1.0f;
        else
            p.weight = v;
    }
    bool at_limit(const particle& p, const stroke& s) const override {
        return s.keys.at("ctrl") ? p.weight >= 1.0f : p.weight <= 0.0f;
    }
    void carry(particle& p, const stroke& s) const override {
        p.weight += (value_as<float>(strict_at(s.targets, p.id, "the stroke's targets")) -
                     value_as<float>(strict_at(s.recorded, p.id, "the stroke's recorded values"))) *
                    s.weight;
    }
};

}  // namespace

const brush_mode& remove_brush() {
    static const remove_mode mode;
    return mode;
}

}  // namespace kavrin
