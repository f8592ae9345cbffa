#include "fbx_samples.h"

#include <cmath>

namespace kavrin::fbx_test {

namespace {
constexpr double pi = 3.14159265358979323846;
}

scene_desc bottle_scene() {
    // (radius, height) from the base up to the lip.
    static const double profile[][2] = {
        {3.6, 0.0},  {3.8, 0.3},  {3.9, 1.0},  {3.9, 14.0}, {3.8, 15.5}, {3.3, 17.5}, {2.4, 19.3},
        {1.5, 20.6}, {1.2, 21.5}, {1.2, 25.0}, {1.4, 25.3}, {1.4, 26.0}, {1.1, 26.3}};
    const int rings = static_cast<int>(std::size(profile));
    const int n = bottle_segments;
    model_desc bottle;
    bottle.name = "Bottle";
    bottle.type = model_desc::kind::mesh;
    for (int i = 0; i < rings; ++i) {
        for (int j = 0; j < n; ++j) {
            const double a = 2.0 * pi * j / n;
            bottle.points.push_back(
                {profile[i][0] * std::cos(a), profile[i][1], profile[i][0] * std::sin(a)});
        }
    }
    const auto at = [n](int ring, int seg) { return ring * n + seg % n; };
    // Base: corners in increasing angle, which faces -y.
    std::vector<int> base;
    for (int j = 0; j < n; ++j)
        base.push_back(at(0, j));
    bottle.polygons.push_back(base);
    // Bands: up the profile first, then round, which faces outwards.
    for (int i = 0; i + 1 < rings; ++i) {
        for (int j = 0; j < n; ++j) {
            bottle.polygons.push_back({at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)});
        }
    }
    scene_desc scene;
    scene.models.push_back(bottle);
    return scene;
}

scene_desc orbit_camera_scene(const orbit_layout& o) {
    model_desc rig;
    rig.name = "CameraRig";
    rig.translation = o.centre;
    model_desc cam;
    cam.name = "Camera";
    cam.type = model_desc::kind::camera;
    cam.parent = 0;
    cam.translation = {-o.radius, o.height, 0.0};
    cam.rotation = {0.0, 0.0, -std::atan2(o.height, o.radius) * 180.0 / pi};
    cam.film_width = o.film_width;
    cam.film_height = o.film_height;
    cam.film_aspect = o.film_width / o.film_height;
    cam.focal_length = o.focal_start;
    const int frames = o.last_frame - o.first_frame;
    for (int f = o.first_frame; f <= o.last_frame; ++f) {
        const double u = static_cast<double>(f - o.first_frame) / frames;
        rig.rotation_keys[f] = {0.0, 360.0 * u, 0.0};
    }
    cam.focal_keys[o.first_frame] = o.focal_start;
    cam.focal_keys[o.last_frame] = o.focal_end;
    scene_desc scene;
    scene.models = {rig, cam};
    scene.animated = true;
    scene.start_frame = o.first_frame;
    scene.stop_frame = o.last_frame;
    return scene;
}

}  // namespace kavrin::fbx_test
