#pragma once
// Dense three-float vector: every position, direction, normal and colour of a scene.

#include <cmath>

namespace kavrin {

struct vec3 {
    float v[3] = {0.0f, 0.0f, 0.0f};

    constexpr vec3() = default;
    constexpr vec3(float x, float y, float z) : v{x, y, z} {}

    float& operator[](int i) { return v[i]; }
    float operator[](int i) const { return v[i]; }
    float x() const { return v[0]; }
    float y() const { return v[1]; }
    float z() const { return v[2]; }

    vec3& operator+=(const vec3& o) {
        v[0] += o.v[0];
        v[1] += o.v[1];
        v[2] += o.v[2];
        return *this;
    }
    vec3& operator-=(const vec3& o) {
        v[0] -= o.v[0];
        v[1] -= o.v[1];
        v[2] -= o.v[2];
        return *this;
    }
    vec3& operator*=(float s) {
        v[0] *= s;
        v[1] *= s;
        v[2] *= s;
        return *this;
    }
    vec3& operator/=(float s) {
        v[0] /= s;
        v[1] /= s;
        v[2] /= s;
        return *this;
    }
    bool operator==(const vec3& o) const {
        return v[0] == o.v[0] && v[1] == o.v[1] && v[2] == o.v[2];
    }
    bool operator!=(const vec3& o) const { return !(*this == o); }
};

inline vec3 operator+(vec3 a, const vec3& b) {
    return a += b;
}
inline vec3 operator-(vec3 a, const vec3& b) {
    return a -= b;
}
inline vec3 operator-(const vec3& a) {
    return vec3(-a.v[0], -a.v[1], -a.v[2]);
}
inline vec3 operator*(vec3 a, float s) {
    return a *= s;
}
inline vec3 operator*(float s, vec3 a) {
    return a *= s;
}
inline vec3 operator/(vec3 a, float s) {
    return a /= s;
}

inline float dot(const vec3& a, const vec3& b) {
    return a.v[0] * b.v[0] + a.v[1] * b.v[1] + a.v[2] * b.v[2];
}
inline vec3 cross(const vec3& a, const vec3& b) {
    return vec3(a.v[1] * b.v[2] - a.v[2] * b.v[1], a.v[2] * b.v[0] - a.v[0] * b.v[2],
                a.v[0] * b.v[1] - a.v[1] * b.v[0]);
}
// Euclidean length, accumulated in single precision like the rest of the vector arithmetic.
inline float length(const vec3& a) {
    return std::sqrt(dot(a, a));
}

// Unit vector of a; a vector of length 0 is returned unchanged.
inline vec3 normalise(const vec3& a) {
    const float len = length(a);
    return len > 0.0f ? a / len : a;
}

}  // namespace kavrin
