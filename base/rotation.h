#pragma once
// Rotation of a vector by a unit quaternion about an axis, angle in degrees (right-handed).

#include <cmath>

#include "base/vec3.h"

namespace kavrin {

inline vec3 rotate(const vec3& v, const vec3& axis, float degrees) {
    if (length(v) == 0.0f) return v;
    const float pi = 4.0f * std::atan(1.0f);
    const float h = degrees * pi / 180.0f * 0.5f;
    const float s = std::sin(h) / length(axis);
    // q = (w, u); the result is the vector part of q (0, v) q*.
    const float w = std::cos(h);
    const vec3 u = axis * s;
    const vec3 t = cross(u, v) * 2.0f;
    return v + t * w + cross(u, t);
}

}  // namespace kavrin
