#pragma once
// An FBX scene as the import algorithms need it: axis system and unit, the tree of nodes, their
// transforms at any time, mesh polygons, the camera's lens and the animation span.
//
// Lengths come out in centimetres: a file in another unit has its translations, pivots and
// mesh points scaled by its unit scale factor. Axes are reported, not converted.
//
// The scene is read from the FBX document itself rather than through Assimp (5.2.5), whose
// import loses what a camera animation needs: it drops keys that lie outside the stack's span
// (so values inside the span interpolate wrongly), applies a pre-rotation twice on animated
// nodes, passes a mesh's geometric offset on to the node's children, reports neither the
// stack's start nor the lens properties and their animation, ties cameras to nodes by names
// that may repeat, and overflows its stack on deeply nested binary records.

#include "exchange/fbx_document.h"

#include <QString>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace kavrin {

// FBX time: 46,186,158,000 units per second, so that frames of the common rates are whole.
using fbx_time = std::int64_t;
constexpr fbx_time fbx_ticks_per_second = 46'186'158'000LL;
constexpr fbx_time fbx_ticks_per_frame = fbx_ticks_per_second / 30;  // one frame at 30 fps

// Seconds to FBX time, rounded; non-finite or out-of-range input gives 0.
fbx_time fbx_time_from_seconds(double seconds);

// 4×4 transform, row-major, for points as row vectors: (x, y, z, 1) · M.
using fbx_matrix = std::array<double, 16>;

// The polygons of a mesh: control points and, polygon after polygon, corner indices into them.
struct fbx_mesh {
    std::vector<std::array<double, 3>> points;  // centimetres, node's geometric offset applied
    std::vector<int> corners;
    std::vector<int> polygon_sizes;  // corners per polygon, in file order
};

// Span of an animation stack, in FBX time.
struct fbx_span {
    fbx_time start = 0, stop = 0;
};

class fbx_scene {
  public:
    enum class node_type { camera, mesh };

    // Reads a file; null, with a short reason, when it is missing, unreadable, larger than 1 GiB,
    // malformed, beyond the document's memory budget, or has an unusable axis system or unit.
    static std::unique_ptr<fbx_scene> open(const QString& path, QString* error = nullptr);
    static std::unique_ptr<fbx_scene> from_bytes(const QByteArray& bytes, QString* error = nullptr);
    ~fbx_scene();

    // Up axis (0 x, 1 y, 2 z) and its sign (+1 or -1); handedness of the file's axes.
    int up_axis() const;
    int up_sign() const;
    bool left_handed() const;
    // Centimetres per file unit (1 for a centimetre file).
    double unit_scale() const;

    // Nodes are numbered 0 (the root) to node_count() - 1.
    int node_count() const;
    QString node_name(int node) const;
    // Pre-order search below the root, children in file order: the first node carrying a
    // camera or a mesh, or -1. The root itself is never a match.
    int find_node(node_type type) const;

    // Global transform of a node: at the default time (the static values, no animation) or at
    // time t of the animation stack, keys interpolated linearly.
    fbx_matrix global_transform(int node) const;
    fbx_matrix global_transform(int node, fbx_time t) const;

    // The mesh of a node; false, with a reason, when it has none or its indices are invalid.
    bool mesh(int node, fbx_mesh& out, QString* error = nullptr) const;

    // Camera lens of a node (defaults for a node without camera): film width over height, and
    // the horizontal field of view in degrees from the focal length, static or at time t.
    double camera_aspect(int node) const;
    double camera_fov(int node) const;
    double camera_fov(int node, fbx_time t) const;

    // Span of the animation stack that the timed transforms use: the last stack of the file
    // with a time span. Empty when the file has none.
    std::optional<fbx_span> animation_span() const;

  private:
    struct impl;
    explicit fbx_scene(std::unique_ptr<impl> d);
    std::unique_ptr<impl> d_;
};

}  // namespace kavrin
