#pragma once
// Import of scene geometry and of an animated scene camera from FBX files, as plain results in
// the viewport's axes (y up, right-handed) and centimetres.

#include "base/vec3.h"

#include <QString>
#include <array>
#include <map>
#include <vector>

namespace kavrin {

// A static triangle mesh: 3 floats per triangle corner, and the face normal at each corner (the
// normal of the whole polygon that the triangle was cut from).
struct fbx_geometry {
    int vertex_count = 0;
    std::vector<float> vertices, normals;
};

// A camera pose at one frame: row-major transform for points as row vectors, (x, y, z, 1) · M,
// and the horizontal field of view in degrees. The camera looks along its local +x, +y up.
struct fbx_camera_key {
    std::array<float, 16> matrix{};
    float fov = 0.0f;
};

// The camera's film aspect (width / height), the largest distance of its eye from the origin
// over all keys, and one key per frame at 30 frames per second.
struct fbx_camera {
    float aspect = 1.0f;
    float scale = -1e8f;
    std::map<int, fbx_camera_key> keys;
};

// Limits against hostile files.
constexpr long long fbx_max_corners = 50'000'000;
constexpr long long fbx_max_camera_keys = 1'000'000;

// (p, 1) · M, first three components.
vec3 transform_point(const fbx_camera_key& key, const vec3& p);

// Each returns false and leaves `out` untouched when the file cannot be read, has no such node
// (pre-order search, the root excluded), exceeds the limits, gives a value that is not a finite
// float (a corner, a camera key, the lens), or (camera) has an animation span of no more than one
// frame; `error` then gets a short reason for the log.
bool import_geometry(const QString& path, fbx_geometry& out, QString* error = nullptr);
bool import_camera(const QString& path, fbx_camera& out, QString* error = nullptr);

}  // namespace kavrin
