#pragma once
// The record of one brush application: the stroke being painted, a frame's undo record, and the
// carrier of a finished stroke to neighbouring frames. Strokes are plain values copied whole.

#include <array>
#include <cstdint>
#include <unordered_map>
#include <variant>
#include <vector>


#include "base/brush_kind.h"
#include "base/key_state.h"
#include "base/particle.h"
#include "base/vec3.h"

namespace kavrin {

// A recorded or target value, by mode: a weight or scale (float), a position (vec3), or with
// "ctrl" held the pair (value, rest value).
using stroke_value = std::variant<float, vec3, std::array<float, 2>, std::array<vec3, 2>>;

// Typed read of a stroke value; another type is an error ("bad cast").
template <class T>
const T& value_as(const stroke_value& v) {
    if (const T* p = std::get_if<T>(&v)) return *p;
    throw std::bad_cast();
}

struct stroke {
    bool undone = false;    // undone: a queued copy with it set is dropped
    bool targeted = false;  // a copy carried to another frame: targeted deformation
    bool restore = false;   // being replayed to restore its recorded values
    bool redoable = false;  // undone, and a redo may still bring it back
    int32_t depth = 0;      // the undo depth at which it was made
    float amount = 1.0f;    // brush power
    float weight = 1.0f;    // blend factor for this frame
    float third_factor = 1.0f;
    float reach = 0.0f;  // camera focal_mag
    brush_kind mode = brush_kind::grab;
    vec3 vector;
    vec3 centre;
    std::vector<particle*> particles;  // to deform in the frame it is applied to; not owned
    std::unordered_map<int32_t, float> falloff;
    key_state keys;
    std::unordered_map<int32_t, stroke_value> targets;
    std::unordered_map<int32_t, stroke_value> recorded;

    // Records, per particle, the value this stroke's mode changes. Unless fresh, a value already
    // recorded is kept, so an entry extended by a drag still holds the value from before it.
    void record(const std::vector<particle*>& list, bool fresh);

    // The value of p that this stroke's mode changes, and setting it (a value of the mode's type).
    stroke_value value_of(const particle& p) const;
    void assign(particle& p, const stroke_value& v) const;
};

// A stroke taken back by undo, kept so that a redo can bring it back exactly.
struct redo_entry {
    stroke entry;         // the history entry, or the queued copy that never reached the frame
    bool queued = false;  // redo queues the copy again instead of restoring values
    bool due = false;     // a redo asked for it; the frame's worker brings it back
    std::unordered_map<int32_t, stroke_value> after;  // per particle, the value the stroke gave
};

}  // namespace kavrin
