#pragma once
// One particle of a frame: a plain value record, copied whole.

#include <cmath>
#include <cstdint>
#include <limits>
#include <unordered_map>

#include "base/vec3.h"

namespace kavrin {

struct oct_tree;

// The largest coordinate a particle's position may have. The octree spans the positions
// (max - min) and places its root at (min + max - span) / 2 in float: within a quarter of the
// float range neither overflows. Readers refuse positions beyond it.
constexpr float position_limit = std::numeric_limits<float>::max() / 4;

// False too for a position that is not finite.
inline bool within_position_limit(const vec3& p) {
    return std::fabs(p[0]) <= position_limit && std::fabs(p[1]) <= position_limit &&
           std::fabs(p[2]) <= position_limit;
}

struct particle {
    bool moved = false;     // an edit moved it: the next step re-homes it
    bool changed = false;   // set with moved by a brush deformation
    bool selected = false;  // in the emitter's selection of the stroke in progress
    int32_t id = 0;
    // Index of its record in the cache file the frame was read from (-1: not read from one), so
    // that a save writes back what the file held beside the edits. It fills what was padding.
    int32_t record = -1;
    float weight = 1.0f;  // presence; at or below 0 the particle is not live
    float shade = 1.0f;
    float scale = 1.0f;
    float rest_scale = 1.0f;
    vec3 position;
    vec3 rest_position;
    vec3 normal;
    oct_tree* cell = nullptr;  // leaf of the frame's octree holding it; not owned

    particle() = default;
    // A particle as built or read from a cache: live, at rest where it stands.
    particle(int32_t id_, const vec3& pos, float value)
        : id(id_), scale(value), rest_scale(value), position(pos), rest_position(pos) {}

    bool live() const { return weight > 0.0f; }
};

static_assert(sizeof(void*) != 8 || sizeof(particle) == 72,
              "a particle's size sets the memory of production frames: keep it at 72 bytes");

// A frame's particles by id; the nodes stay put, so particle pointers survive insertions.
using particle_map = std::unordered_map<int32_t, particle>;

}  // namespace kavrin
