#pragma once
// How a particle looks on screen: its brightness and colour, and the point size or sphere
// radius that the viewport draws it with. Plain arithmetic, shared by drawing and tests.

#include "base/particle.h"
#include "base/vec3.h"

namespace kavrin {

// RGB of the HSV colour with hue clamp((v - hi) / (lo - hi), 0, 1), saturation 0.9, value 1.
vec3 heat(float v, float lo, float hi);

// Brightness k from weight, shade and how much the normal faces up.
float brightness(const particle& p);

// What the selection heat needs: where the brush is and how large.
struct selection_look {
    vec3 pick_point;
    float space = 0.1f;
    float focal_mag = 3.0f;
    bool mirror = false;  // the mirror brush: its image across x = 0 selects as well
};

// Colour of a particle; selected ones are tinted by their distance to the brush centre (or to
// its mirror image, whichever is nearer), and
// with cache_display every component is lifted by the particle's scale.
vec3 particle_colour(const particle& p, bool cache_display, const selection_look& sel);

// Scene figures the sizes follow: particles of all frames, frames, largest frame extent.
struct scene_figures {
    int point_count = 0;
    int frame_count = 0;
    float max_scale = 0.0f;
};

// Point size in pixels for GL_POINTS (at least 1).
float point_size(int particle_size, const scene_figures& s, float fov_degrees, float brush_distance,
                 int widget_height);
// Radius of the sphere of a particle of the given scale, in world units.
float sphere_radius(int particle_size, const scene_figures& s, float scale);

}  // namespace kavrin
