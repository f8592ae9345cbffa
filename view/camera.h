#pragma once
// The viewport's orbit camera as plain values and the arithmetic of its drags, projection and
// scene-dependent clip planes. No OpenGL here: the viewport feeds the results to GLU.

#include <vector>

#include <QPointF>
#include <QString>

#include "base/vec3.h"

namespace kavrin {

struct camera_state {
    vec3 position{0.0f, 0.0f, 3.0f};
    vec3 focal_vect{0.0f, 0.0f, -1.0f};    // unit viewing direction
    vec3 focal_tangent{1.0f, 0.0f, 0.0f};  // screen right
    vec3 focal_normal{0.0f, 1.0f, 0.0f};   // screen up
    float focal_mag = 3.0f;                // eye to orbit centre

    vec3 centre() const { return position + focal_vect * focal_mag; }
};

// The start view of the program: the orbit centre in the middle of the built-in fountain's
// arc, seen a little from the left and from above.
camera_state fountain_camera();

// Alt + middle drag: moves eye and orbit centre in the screen plane.
void translate_drag(camera_state& c, float dx, float dy);
// Alt + right drag: dollies the eye towards the fixed orbit centre; only dx counts.
void scale_drag(camera_state& c, float dx);
// Alt + left drag: orbits the eye around the centre, half a degree per pixel.
void rotate_drag(camera_state& c, float dx, float dy);

// The camera moved, without turning, so that its orbit centre is the middle of the points'
// bounding box and the points fill the view at the given aspect, a tenth of it left free at the
// edges. Points that all lie on the centre (one particle) are only centred: the focal distance
// stays. No points: the camera as it is.
camera_state framed(const camera_state& c, const std::vector<vec3>& points, float aspect);

// The camera turned to look along a fixed axis at the same orbit centre and distance: "front"
// (along -z), "side" (along -x, from the right) or "top" (down -y); opposite looks from behind,
// the left or below.
camera_state preset_view(const camera_state& c, const QString& which, bool opposite);

struct projection;
// The wheel's zoom: the eye and its orbit distance shrink by factor (below 1 zooms in) towards
// the point of the focal plane under the pixel at, which stays under it.
camera_state zoomed_towards(const camera_state& c, const projection& p, int width, int height,
                            const QPointF& at, float factor);

// The ray from the eye through the pixel at (y down) of a width x height view, with a forward
// component of one.
vec3 pixel_ray(const projection& p, int width, int height, const QPointF& at);
// Where that ray meets the plane that faces the view and holds the point through: what a drag
// off the particles moves along.
vec3 view_plane_point(const projection& p, int width, int height, const QPointF& at,
                      const vec3& through);
// The brush space whose sphere, at its distance, is pixels high on a view height pixels high,
// and back: the radius is the share space of the distance, the view half tan(fov / 2) of it.
float space_for_pixels(const projection& p, int height, float pixels);
float pixels_for_space(const projection& p, int height, float space);

// Field of view f (degrees) seen through a film stretched by a.
float conv(float f, float a);
// Power of ten that near and far follow: 10^(trunc(log10(d * 100000)) - 6).
float scene_scale(float d);

// One key of an imported scene camera: a row-major affine transform (camera local to world)
// and the horizontal field of view in degrees.
struct scene_key {
    float matrix[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    float fov = 35.0f;

    vec3 apply(const vec3& p) const;
};

// What gluPerspective and gluLookAt receive for one paint or pick.
struct projection {
    float fov = 35.0f;
    float aspect = 1.0f;
    float z_near = 0.01f;
    float z_far = 100.0f;
    vec3 eye, centre, up;
};

// The free camera's projection, or the scene camera's when key is given (its film aspect and
// scene size as imported).
projection camera_projection(const camera_state& c, float aspect, const scene_key* key = nullptr,
                             float scene_aspect = 1.0f, float scene_size = 1.0f);

// Window position (pixels, y down, in a width x height viewport) of a world point; what
// gluProject gives for the projection above with an identity model-view.
QPointF project_point(const projection& p, int width, int height, const vec3& world);

}  // namespace kavrin
