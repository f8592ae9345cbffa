#include "view/particle_look.h"

#include <algorithm>
#include <cmath>

#include <QColor>

namespace kavrin {

namespace {

float clamp01(float v) {
    return std::clamp(v, 0.0f, 1.0f);
}

// log10 of the particles per frame, which both sizes divide by. A scene with fewer than two
// particles a frame (or none) would divide by zero or a negative number: it sizes as two.
float density_divisor(const scene_figures& s) {
    const double per_frame = s.frame_count > 0 ? double(s.point_count) / s.frame_count : 0.0;
    return float(std::log10(std::max(per_frame, 2.0)));
}

}  // namespace

vec3 heat(float v, float lo, float hi) {
    const float hue = clamp01((v - hi) / (lo - hi));
    const QColor c = QColor::fromHsvF(hue, 0.9f, 1.0f);
    return vec3(float(c.redF()), float(c.greenF()), float(c.blueF()));
}

float brightness(const particle& p) {
    const float a = clamp01(p.weight);
    const float b = std::clamp(p.shade, 0.1f, 1.0f);
    const float n = clamp01(dot(p.normal, vec3(0.0f, 1.0f, 0.0f)));
    return 0.1f * std::log10((1.0f - a) / b + 1.0f) + 0.5f * b + 0.8f * n * b + 0.1f;
}

vec3 particle_colour(const particle& p, bool cache_display, const selection_look& sel) {
    vec3 base(1.0f, 1.0f, 1.0f);
    if (p.selected) {
        float d = length(p.position - sel.pick_point);
        if (sel.mirror) {
            const vec3 image(-sel.pick_point[0], sel.pick_point[1], sel.pick_point[2]);
            d = std::min(d, length(p.position - image));
        }
        const float t = d / (sel.space * sel.focal_mag);
        base = heat(t, 0.0f, 1.0f) * 0.7f + vec3(0.3f, 0.3f, 0.3f);
    }
    vec3 c = base * brightness(p);
    if (cache_display) {
        const float lift = 0.2f * std::log10(p.scale + 1.0f);
        c += vec3(lift, lift, lift);
    }
    return c;
}

float point_size(int particle_size, const scene_figures& s, float fov_degrees, float brush_distance,
                 int widget_height) {
    const double pi = 4.0 * std::atan(1.0);
    const double h = fov_degrees / 2.0 * pi / 180.0;
    const double size = (particle_size / 20.0) * s.max_scale / density_divisor(s) *
                        (1.0 / (std::sin(h) * std::cos(h))) * (1.0 / brush_distance) *
                        widget_height * 0.02;
    // Zero, negative or undefined sizes (an empty scene, a camera on its centre) are not valid
    // point sizes for OpenGL.
    if (!(size >= 1.0) || !std::isfinite(size)) return 1.0f;
    return float(size);
}

float sphere_radius(int particle_size, const scene_figures& s, float scale) {
    return 0.023f * (float(particle_size) / 20.0f) * s.max_scale * scale / density_divisor(s);
}

}  // namespace kavrin
