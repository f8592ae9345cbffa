#pragma once
// Sample scenes for FBX import: a bottle mesh and a camera orbiting it.

#include "fbx_writer.h"

namespace kavrin::fbx_test {

// Lathe of a bottle profile around +y (centimetres, y up): 32 segments, 12 bands of quads and
// one 32-corner base, open at the mouth; faces wind so that their normals point outwards.
constexpr int bottle_segments = 32;
scene_desc bottle_scene();

// A camera on a circle around the bottle, frames 0 to 100 at 30 per second: a rig node at the
// orbit centre turns once about +y, the camera hangs at (-radius, height, 0) below it, tilted so
// that its viewing axis (+x) meets the centre; the focal length zooms from 35 to 50 mm.
struct orbit_layout {
    vec centre{0.0, 12.0, 0.0};
    double radius = 60.0, height = 20.0;
    int first_frame = 0, last_frame = 100;
    double focal_start = 35.0, focal_end = 50.0;
    double film_width = 1.4173, film_height = 0.7972;  // inches, 16:9
};
scene_desc orbit_camera_scene(const orbit_layout& layout = orbit_layout());

}  // namespace kavrin::fbx_test
