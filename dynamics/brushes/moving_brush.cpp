#include "dynamics/brushes/moving_brush.h"

#include <cmath>

#include "base/strict.h"

namespace kavrin {

void moving_brush::paint(particle& p, const stroke& s) const {
    if (s.keys.at("ctrl")) {
        // Relax towards the rest position; a step that would end within the threshold snaps.
        const vec3 d = p.rest_position - p.position;
        vec3 step;
        for (int i = 0; i < 3; ++i)
            step[i] = float(double(d[i] * s.reach * s.amount) * 0.05);
        if (double(s.reach) * 0.002 > double(length(d) - length(step)))
            p.position = p.rest_position;
        else
            p.position += step;
        return;
    }
    const vec3 along = direction(p, s);
    const float sign_ = sign(s);
    const float step = step_length();
    const float w = strict_at(s.falloff, p.id, "the stroke's falloff");
    for (int i = 0; i < 3; ++i)
        p.position[i] += along[i] * w * s.reach * s.amount * sign_ * step;
}

bool moving_brush::at_limit(const particle& p, const stroke& s) const {
    return s.keys.at("ctrl") && length(p.rest_position - p.position) == 0.0f;
}

void moving_brush::carry(particle& p, const stroke& s) const {
    const vec3& r0 = value_as<vec3>(strict_at(s.recorded, p.id, "the stroke's recorded values"));
    const stroke_value& t = strict_at(s.targets, p.id, "the stroke's targets");
    if (s.keys.at("ctrl")) {
        // Share of the way to rest that the painted particle went: |t0 - r| / |t1 - r|. A
        // painted particle that started at rest cannot have been relaxed, so it gives no share.
        const auto& pair = value_as<std::array<vec3, 2>>(t);
        const float moved = length(pair[0] - r0), whole = length(pair[1] - r0);
        p.position += (p.rest_position - p.position) * s.weight * (whole > 0.0f ? moved / whole : 0.0f);
    } else {
        p.position += (value_as<vec3>(t) - r0) * s.weight;
    }
}

}  // namespace kavrin
