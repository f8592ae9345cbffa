#pragma once
// Writer of small FBX 7.4 documents, ASCII or binary, for tests and sample scenes.
//
// Two levels: a generic node tree (name, values, children) serialised in either encoding, and a
// scene description (axis system, unit, models with meshes or cameras, one animation stack) that
// is turned into such a tree.

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace kavrin::fbx_test {

// An object's name with its class ("Model", "Geometry", ...): "Model::name" in ASCII,
// "name\0\1Model" in binary.
struct object_name {
    std::string cls, name;
};

using value = std::variant<std::int32_t, std::int64_t, double, std::string, object_name,
                           std::vector<std::int32_t>, std::vector<std::int64_t>,
                           std::vector<double>, std::vector<float>>;

struct node {
    std::string name;
    std::vector<value> values;
    std::vector<node> children;
    bool block = false;  // written with a (possibly empty) child block even without children

    node() = default;
    node(std::string n, std::vector<value> v = {}) : name(std::move(n)), values(std::move(v)) {}
    node& add(node child);
};

// ASCII FBX 7.4 text of the top-level nodes.
std::string to_ascii(const std::vector<node>& top);
// Binary FBX of the top-level nodes; version 7500 and up uses 64-bit record offsets. Arrays of
// more than `compress_from` elements are stored zlib-compressed.
QByteArray to_binary(const std::vector<node>& top, int version = 7400,
                     std::size_t compress_from = SIZE_MAX);

// FBX time units per second, and per frame at 30 frames per second.
constexpr std::int64_t ticks_per_second = 46186158000LL;
constexpr std::int64_t ticks_per_frame = ticks_per_second / 30;

using vec = std::array<double, 3>;

struct model_desc {
    enum class kind { null, mesh, camera };
    std::string name;
    kind type = kind::null;
    int parent = -1;  // index of the parent model in the scene's list; -1 is the scene root
    vec translation{0, 0, 0}, rotation{0, 0, 0}, scaling{1, 1, 1};  // rotation in degrees
    int rotation_order = 0;                                         // 0 XYZ ... 5 ZYX
    // Further transform properties by name: PreRotation, RotationPivot, GeometricTranslation...
    std::map<std::string, vec> vectors;
    // Mesh: control points and polygons of indices into them.
    std::vector<vec> points;
    std::vector<std::vector<int>> polygons;
    // Camera: lens (mm) and film (inches); values <= 0 leave the property out.
    double focal_length = 35.0, film_width = 0.816, film_height = 0.612, film_aspect = -1.0;
    double field_of_view = -1.0;  // degrees
    // Animation keys by frame number (30 per second), interpolated linearly.
    std::map<int, vec> translation_keys, rotation_keys;
    std::map<int, double> focal_keys;
};

struct scene_desc {
    // Axis system as GlobalSettings stores it: axis numbers 0..2 and signs +1/-1.
    int up_axis = 1, up_sign = 1, front_axis = 2, front_sign = 1, coord_axis = 0, coord_sign = 1;
    double unit_scale = 1.0;  // centimetres per file unit
    std::vector<model_desc> models;
    // Animation stack span in frames; written when `animated` is set.
    bool animated = false;
    int start_frame = 0, stop_frame = 100;
    bool root_camera = false;  // a camera attribute attached to the scene root itself
};

// The same scene in z-up axes (up +z, front -y, right +x), as an exporter for a z-up application
// writes it: each root model turns by +90 degrees about x in its pre-rotation, and its
// translation and translation keys turn with it, (x, y, z) → (x, -z, y). The scene must be y-up
// and right-handed, and its root models must have no pre-rotation, rotation offset or pivot of
// their own (std::invalid_argument otherwise).
scene_desc z_up_version(const scene_desc& y_up);

std::vector<node> build_document(const scene_desc& scene);

enum class encoding { ascii, binary };
bool write_file(const QString& path, const scene_desc& scene, encoding enc = encoding::ascii);

}  // namespace kavrin::fbx_test
