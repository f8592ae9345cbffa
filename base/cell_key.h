#pragma once
// Cell keys name octree children, grid cells and level-index positions: a vector floored per
// component. The shown form is the three floored numbers in 'g' format with 6 significant digits
// joined by ","; the integer form below is equal exactly when the texts are equal.

#include <cstdint>
#include <functional>

#include <QString>

#include "base/vec3.h"

namespace kavrin {

struct cell_key {
    int32_t x = 0, y = 0, z = 0;

    bool operator==(const cell_key& o) const { return x == o.x && y == o.y && z == o.z; }
    bool operator!=(const cell_key& o) const { return !(*this == o); }
};

// Canonical integer of one floored component. Below a million the text shows every digit, so the
// value is kept; above, the text rounds to 6 significant digits and so does the key.
int32_t key_component(double floored);

inline cell_key make_key(const vec3& v) {
    return {key_component(std::floor(v[0])), key_component(std::floor(v[1])),
            key_component(std::floor(v[2]))};
}
inline cell_key make_key(int32_t x, int32_t y, int32_t z) {
    return {key_component(x), key_component(y), key_component(z)};
}

// The coordinates that a key names, as the text form reads back.
inline vec3 key_coords(const cell_key& k) {
    return vec3(float(k.x), float(k.y), float(k.z));
}

// The shown form, e.g. "1,0,-1".
QString key_text(const cell_key& k);

struct cell_key_hash {
    size_t operator()(const cell_key& k) const {
        uint64_t h = (uint64_t(uint32_t(k.x)) * 0x9E3779B97F4A7C15ull) ^
                     (uint64_t(uint32_t(k.y)) * 0xC2B2AE3D27D4EB4Full) ^
                     (uint64_t(uint32_t(k.z)) * 0x165667B19E3779F9ull);
        h ^= h >> 29;
        h *= 0xBF58476D1CE4E5B9ull;
        return size_t(h ^ (h >> 32));
    }
};

// Point-box summary of a list of vectors: "min" and "max" per component and
// "scale" = max - min + 0.000001. An empty list keeps the start values of +-1000000.
struct point_box {
    vec3 min{1000000.0f, 1000000.0f, 1000000.0f};
    vec3 max{-1000000.0f, -1000000.0f, -1000000.0f};

    void add(const vec3& p) {
        for (int i = 0; i < 3; ++i) {
            if (p[i] < min[i]) min[i] = p[i];
            if (p[i] > max[i]) max[i] = p[i];
        }
    }
    vec3 scale() const {
        return vec3(max[0] - min[0] + 0.000001f, max[1] - min[1] + 0.000001f,
                    max[2] - min[2] + 0.000001f);
    }
    // Largest component of scale, as a running maximum from 0.
    float largest_scale() const {
        const vec3 s = scale();
        float m = 0.0f;
        for (int i = 0; i < 3; ++i)
            if (s[i] > m) m = s[i];
        return m;
    }
};

}  // namespace kavrin
