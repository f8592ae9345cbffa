#include "exchange/step_vector.h"

#include <algorithm>
#include <mutex>

#include "dynamics/grid_fields.h"

namespace kavrin {

namespace {

// The picks of a grab lag ten behind, as the viewport's mouse history does.
constexpr size_t grab_lag = 10;

vec3 eye_of(const camera_values& c) {
    return c.scene_view ? c.scene_eye : c.position;
}

std::optional<vec3> surface_vector(const frame_set& fs, const step_inputs& s) {
    // Nothing else works on the frame while a stroke is replayed; the lock keeps the fields whole
    // should a pass still be running.
    const std::unique_lock<mutex> hold = fs.grid.hold();
    vec3 n;
    if (cells_near(fs, s.pick) <= 0 || !surface_normal(fs, s.pick, eye_of(s.camera) - s.pick, n))
        return std::nullopt;
    return n;
}

// The part of a motion that the screen shows: across the plane facing the eye at the pick.
std::optional<vec3> on_screen(const vec3& motion, const step_inputs& s) {
    const vec3 view = normalise(s.pick - eye_of(s.camera));
    const vec3 across = motion - view * dot(motion, view);
    if (!(length(across) > 0.0f)) return std::nullopt;
    return normalise(across);
}

std::optional<vec3> grab_vector(const std::vector<step_inputs>& steps, size_t index) {
    const step_inputs& s = steps[index];
    if (index > 0) return on_screen(s.pick - steps[index - std::min(index, grab_lag)].pick, s);
    for (size_t k = 1; k < steps.size(); ++k)
        if (steps[k].pick != s.pick) return on_screen(steps[k].pick - s.pick, s);
    return std::nullopt;
}

}  // namespace

std::optional<vec3> step_vector(const frame_set& fs, const std::vector<step_inputs>& steps,
                                size_t index) {
    const step_inputs& s = steps[index];
    if (s.keys.at("ctrl") || !brush_needs_vector(s.brush.type)) return vec3();
    if (s.brush.type == brush_kind::normal) return surface_vector(fs, s);
    return grab_vector(steps, index);
}

}  // namespace kavrin
