#include "view/camera.h"

#include <algorithm>
#include <cmath>

#include "base/rotation.h"

namespace kavrin {

namespace {

const float pi = 4.0f * std::atan(1.0f);

float sign_of(float v) {
    return v > 0.0f ? 1.0f : (v < 0.0f ? -1.0f : 0.0f);
}

// Column-major 4x4 as OpenGL keeps it.
struct mat4 {
    double m[16] = {0};
};

mat4 multiply(const mat4& a, const mat4& b) {
    mat4 r;
    for (int c = 0; c < 4; ++c)
        for (int row = 0; row < 4; ++row)
            for (int k = 0; k < 4; ++k)
                r.m[c * 4 + row] += a.m[k * 4 + row] * b.m[c * 4 + k];
    return r;
}

}  // namespace

camera_state fountain_camera() {
    camera_state c;
    c.focal_mag = 2.2f;
    c.position = vec3(-0.05f, 0.3f, 0.0f) - c.focal_vect * c.focal_mag;
    rotate_drag(c, 36.0f, 22.0f);
    return c;
}

void translate_drag(camera_state& c, float dx, float dy) {
    c.position -= c.focal_tangent * (dx * c.focal_mag * 0.0006f);
    c.position += c.focal_normal * (dy * c.focal_mag * 0.0006f);
}

void scale_drag(camera_state& c, float dx) {
    const float d = dx * c.focal_mag * 0.004f;
    c.position += c.focal_vect * d;
    c.focal_mag -= d;
}

void rotate_drag(camera_state& c, float dx, float dy) {
    // The rotations turn the eye against the drag, so the scene follows the mouse as it does in
    // translate; with them the screen-up axis is the tangent turned a quarter back about the
    // view, which keeps the picture upright.
    const float yaw = dx * 0.5f;
    const float pitch = dy * 0.5f;
    const vec3 arm = -c.focal_vect * c.focal_mag;
    const vec3 yaw_axis(0.0f, c.focal_normal.y(), 0.0f);
    vec3 arm1 = arm;
    // A level up axis (focal_normal.y exactly 0) gives no yaw axis: the yaw is skipped.
    if (yaw_axis.y() != 0.0f) {
        arm1 = rotate(arm, yaw_axis, -yaw);
        c.focal_tangent = rotate(c.focal_tangent, yaw_axis, -yaw);
    }
    const vec3 arm2 = rotate(arm1, c.focal_tangent, -pitch);
    c.focal_normal = rotate(c.focal_tangent, c.focal_vect, -90.0f);
    c.focal_normal[1] = sign_of(c.focal_normal[1]);
    c.position += arm2 - arm;
    const float len = length(arm2);
    // A camera sitting on its orbit centre has no direction to look along; it keeps its own.
    if (len > 0.0f) c.focal_vect = -arm2 / len;
}

camera_state framed(const camera_state& c, const std::vector<vec3>& points, float aspect) {
    if (points.empty()) return c;
    vec3 lo = points.front(), hi = points.front();
    for (const vec3& p : points)
        for (int i = 0; i < 3; ++i) {
            lo[i] = std::min(lo[i], p[i]);
            hi[i] = std::max(hi[i], p[i]);
        }
    const vec3 centre = (lo + hi) * 0.5f;
    // The screen axes as the look-at makes them from the view direction and the up vector.
    const vec3 f = normalise(c.focal_vect);
    vec3 side = normalise(cross(f, c.focal_normal));
    if (length(side) == 0.0f) side = normalise(c.focal_tangent);
    const vec3 up = cross(side, f);
    // Tangents of the half angles of the free camera's 35 degree view, less the margin.
    const float tan_v = std::tan(35.0f * 0.5f * pi / 180.0f) * 0.9f;
    const float tan_h = tan_v * std::max(aspect, 1e-3f);
    // A point at depth z beyond the centre and off the axis by a and b is in view from a
    // distance d when |a| <= (d + z) tan_h and |b| <= (d + z) tan_v; nothing may come nearer to
    // the eye than a tenth of the box.
    const float keep = 0.05f * length(hi - lo);
    float d = 0.0f;
    for (const vec3& p : points) {
        const vec3 r = p - centre;
        const float z = dot(r, f);
        d = std::max(
            {d, std::abs(dot(r, side)) / tan_h - z, std::abs(dot(r, up)) / tan_v - z, keep - z});
    }
    camera_state out = c;
    if (d > 0.0f) out.focal_mag = d;
    out.position = centre - c.focal_vect * out.focal_mag;
    return out;
}

camera_state preset_view(const camera_state& c, const QString& which, bool opposite) {
    const float s = opposite ? -1.0f : 1.0f;
    camera_state out = c;
    if (which == QLatin1String("top")) {
        out.focal_vect = vec3(0.0f, -s, 0.0f);
        out.focal_tangent = vec3(1.0f, 0.0f, 0.0f);
        // Up on the screen is away from the viewer of the front view; its y stays 0, so the
        // orbit's yaw waits for the first pitch.
        out.focal_normal = vec3(0.0f, 0.0f, -s);
    } else {
        out.focal_vect = which == QLatin1String("side") ? vec3(-s, 0.0f, 0.0f)
                                                        : vec3(0.0f, 0.0f, -s);
        out.focal_tangent = which == QLatin1String("side") ? vec3(0.0f, 0.0f, -s)
                                                           : vec3(s, 0.0f, 0.0f);
        out.focal_normal = vec3(0.0f, 1.0f, 0.0f);
    }
    out.position = c.centre() - out.focal_vect * c.focal_mag;
    return out;
}

camera_state zoomed_towards(const camera_state& c, const projection& p, int width, int height,
                            const QPointF& at, float factor) {
    // At the orbit distance the ray meets the focal plane.
    const vec3 target = c.position + pixel_ray(p, width, height, at) * c.focal_mag;
    camera_state out = c;
    out.position = target + (c.position - target) * factor;
    out.focal_mag = c.focal_mag * factor;
    return out;
}

vec3 pixel_ray(const projection& p, int width, int height, const QPointF& at) {
    const vec3 fwd = normalise(p.centre - p.eye);
    const vec3 side = normalise(cross(fwd, p.up));
    const vec3 up = cross(side, fwd);
    const float tan_v = std::tan(p.fov * pi / 360.0f);
    const float x = float(2.0 * at.x() / std::max(1, width) - 1.0);
    const float y = float(1.0 - 2.0 * at.y() / std::max(1, height));
    return fwd + side * (x * tan_v * p.aspect) + up * (y * tan_v);
}

vec3 view_plane_point(const projection& p, int width, int height, const QPointF& at,
                      const vec3& through) {
    // The ray's forward component is one, so its depth grows by one per unit of t.
    const float depth = dot(through - p.eye, normalise(p.centre - p.eye));
    return p.eye + pixel_ray(p, width, height, at) * depth;
}

float space_for_pixels(const projection& p, int height, float pixels) {
    return pixels * 2.0f * std::tan(p.fov * pi / 360.0f) / float(std::max(1, height));
}

float pixels_for_space(const projection& p, int height, float space) {
    return space * float(std::max(1, height)) / (2.0f * std::tan(p.fov * pi / 360.0f));
}

float conv(float f, float a) {
    const float half = f * pi / 180.0f / 2.0f;
    return 2.0f * std::atan2(std::sin(half) * a, std::cos(half)) * 180.0f / pi;
}

float scene_scale(float d) {
    // An eye on the origin (or a broken value) has no scale of its own: use that of 1e-6, the
    // smallest distance the planes are meant for, rather than an infinite exponent.
    if (!(d >= 1e-6f) || !std::isfinite(d)) d = 1e-6f;
    const int k = int(std::trunc(std::log10(d * 100000.0f)));
    return std::pow(10.0f, float(k - 6));
}

vec3 scene_key::apply(const vec3& p) const {
    vec3 r;
    for (int i = 0; i < 3; ++i)
        r[i] = matrix[i * 4] * p[0] + matrix[i * 4 + 1] * p[1] + matrix[i * 4 + 2] * p[2] +
               matrix[i * 4 + 3];
    return r;
}

projection camera_projection(const camera_state& c, float aspect, const scene_key* key,
                             float scene_aspect, float scene_size) {
    projection p;
    p.fov = 35.0f;
    p.aspect = aspect;
    vec3 eye = c.position, dir = c.focal_vect, up = c.focal_normal;
    float s = scene_scale(length(c.position));
    if (key) {
        p.fov = conv(key->fov, 1.0f / scene_aspect);
        if (scene_aspect > aspect) p.fov = conv(p.fov, scene_aspect / aspect);
        p.fov = conv(p.fov, 1.05f);
        eye = key->apply(vec3());
        dir = key->apply(vec3(1.0f, 0.0f, 0.0f)) - eye;
        up = key->apply(vec3(0.0f, 1.0f, 0.0f)) - eye;
        s = scene_scale(scene_size);
    }
    p.z_near = 0.1f * s;
    p.z_far = 1000.0f * s;
    p.eye = eye;
    // A free camera dollied onto or past its centre (focal_mag 0 or below) must not turn the
    // scene camera round: that one looks along its own axis.
    p.centre = eye + dir * (key && !(c.focal_mag > 0.0f) ? 1.0f : c.focal_mag);
    p.up = up;
    return p;
}

QPointF project_point(const projection& p, int width, int height, const vec3& world) {
    // gluPerspective
    mat4 persp;
    const double f = 1.0 / std::tan(double(p.fov) * pi / 360.0);
    persp.m[0] = f / p.aspect;
    persp.m[5] = f;
    persp.m[10] = double(p.z_far + p.z_near) / double(p.z_near - p.z_far);
    persp.m[11] = -1.0;
    persp.m[14] = 2.0 * p.z_far * p.z_near / double(p.z_near - p.z_far);
    // gluLookAt
    const vec3 fwd = normalise(p.centre - p.eye);
    const vec3 side = normalise(cross(fwd, p.up));
    const vec3 up = cross(side, fwd);
    mat4 look;
    for (int i = 0; i < 3; ++i) {
        look.m[i * 4] = side[i];
        look.m[i * 4 + 1] = up[i];
        look.m[i * 4 + 2] = -fwd[i];
    }
    look.m[15] = 1.0;
    mat4 move;
    for (int i = 0; i < 4; ++i)
        move.m[i * 5] = 1.0;
    for (int i = 0; i < 3; ++i)
        move.m[12 + i] = -p.eye[i];
    const mat4 all = multiply(persp, multiply(look, move));
    double clip[4];
    for (int row = 0; row < 4; ++row)
        clip[row] = all.m[row] * world[0] + all.m[4 + row] * world[1] + all.m[8 + row] * world[2] +
                    all.m[12 + row];
    const double x = (clip[0] / clip[3] + 1.0) * 0.5 * width;
    const double y = (clip[1] / clip[3] + 1.0) * 0.5 * height;
    return QPointF(x, height - y);
}

}  // namespace kavrin
