#include "exchange/fbx_import.h"

#include "exchange/fbx_scene.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kavrin {

namespace {

using matrix = std::array<float, 16>;

// Right-multiplies a row-vector transform by a 3×3 linear map: M · L, L embedded in 4×4.
matrix times(const matrix& m, const float (&l)[3][3]) {
    matrix r = m;
    for (int row = 0; row < 4; ++row) {
        for (int col = 0; col < 3; ++col) {
            float s = 0.0f;
            for (int k = 0; k < 3; ++k)
                s += m[static_cast<std::size_t>(row * 4 + k)] * l[k][col];
            r[static_cast<std::size_t>(row * 4 + col)] = s;
        }
    }
    return r;
}

// A node transform brought into the viewport's axes, in single precision and in this order:
// mirror a left-handed file's z, flip y when the up axis points down, turn a z-up file about x
// by +90 degrees, which takes (x, y, z) to (x, z, -y): the file's up (0, 0, 1) becomes +y and
// its front -y becomes +z, so a scene lands where the same scene written y-up does.
matrix to_view_axes(const fbx_matrix& global, const fbx_scene& scene) {
    matrix m;
    for (std::size_t i = 0; i < 16; ++i)
        m[i] = static_cast<float>(global[i]);
    if (scene.left_handed()) {
        const float mirror_z[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, -1}};
        m = times(m, mirror_z);
    }
    if (scene.up_sign() < 0) {
        const float flip_y[3][3] = {{1, 0, 0}, {0, -1, 0}, {0, 0, 1}};
        m = times(m, flip_y);
    }
    if (scene.up_axis() == 2) {
        const float a = 90.0f * (4.0f * std::atan(1.0f) / 180.0f);
        const float c = std::cos(a), s = std::sin(a);
        const float rx[3][3] = {{1, 0, 0}, {0, c, -s}, {0, s, c}};
        m = times(m, rx);
    }
    return m;
}

vec3 transformed(const matrix& m, const vec3& p) {
    vec3 r;
    for (int c = 0; c < 3; ++c) {
        r[c] = p[0] * m[static_cast<std::size_t>(c)] + p[1] * m[static_cast<std::size_t>(4 + c)] +
               p[2] * m[static_cast<std::size_t>(8 + c)] + m[static_cast<std::size_t>(12 + c)];
    }
    return r;
}

// The polygon's normal from all its corners (Newell's method, summed about the first corner so
// that far-off coordinates keep their precision): unlike the first three corners alone, it is not
// zero when two of those coincide. Summed in double so that finite corners always give a finite
// normal; zero for a face without area.
vec3 face_normal(const std::vector<vec3>& q) {
    double n[3] = {0.0, 0.0, 0.0};
    for (std::size_t k = 1; k + 1 < q.size(); ++k) {
        double a[3], b[3];
        for (int c = 0; c < 3; ++c) {
            a[c] = double(q[k][c]) - double(q[0][c]);
            b[c] = double(q[k + 1][c]) - double(q[0][c]);
        }
        n[0] += a[1] * b[2] - a[2] * b[1];
        n[1] += a[2] * b[0] - a[0] * b[2];
        n[2] += a[0] * b[1] - a[1] * b[0];
    }
    const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (!(len > 0.0)) return vec3();
    return vec3(float(n[0] / len), float(n[1] / len), float(n[2] / len));
}

// Values beyond float range (a huge unit scale, 1e300 in a file) turn infinite here; infinite or
// NaN results would poison the viewport's drawing and camera, so the import refuses them.
bool all_finite(const vec3& v) {
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

bool failed(QString* error, const QString& reason) {
    if (error) *error = reason;
    return false;
}

// FBX time integer division, truncating like the time arithmetic of the format.
long long frame_of(fbx_time t) {
    return static_cast<long long>(t / fbx_ticks_per_frame);
}

}  // namespace

vec3 transform_point(const fbx_camera_key& key, const vec3& p) {
    return transformed(key.matrix, p);
}

bool import_geometry(const QString& path, fbx_geometry& out, QString* error) {
    const std::unique_ptr<fbx_scene> scene = fbx_scene::open(path, error);
    if (!scene) return false;
    const int node = scene->find_node(fbx_scene::node_type::mesh);
    if (node < 0) return failed(error, QStringLiteral("no mesh node"));
    fbx_mesh mesh;
    if (!scene->mesh(node, mesh, error)) return false;

    // Polygons of fewer than three corners have no face and are left out.
    long long corners = 0;
    for (int size : mesh.polygon_sizes) {
        if (size >= 3) corners += 3LL * (size - 2);
    }
    if (corners > fbx_max_corners) return failed(error, QStringLiteral("mesh too large"));

    const matrix m = to_view_axes(scene->global_transform(node), *scene);
    fbx_geometry geo;
    geo.vertex_count = static_cast<int>(corners);
    geo.vertices.reserve(static_cast<std::size_t>(corners) * 3);
    geo.normals.reserve(static_cast<std::size_t>(corners) * 3);
    std::vector<vec3> q;
    std::size_t first = 0;
    for (std::size_t polygon = 0; polygon < mesh.polygon_sizes.size(); ++polygon) {
        const int size = mesh.polygon_sizes[polygon];
        q.clear();
        for (int k = 0; k < size; ++k) {
            const auto& p = mesh.points[static_cast<std::size_t>(mesh.corners[first + k])];
            q.push_back(transformed(m, vec3(static_cast<float>(p[0]), static_cast<float>(p[1]),
                                            static_cast<float>(p[2]))));
            if (!all_finite(q.back())) {
                return failed(error,
                              QStringLiteral("non-finite corner in polygon %1").arg(polygon));
            }
        }
        first += static_cast<std::size_t>(size);
        if (size < 3) continue;
        const vec3 n = face_normal(q);
        // Fan: (q0, q[j+1], q[j+2]) for each j.
        for (int j = 0; j + 2 < size; ++j) {
            for (const vec3& c : {q[0], q[j + 1], q[j + 2]}) {
                geo.vertices.insert(geo.vertices.end(), {c[0], c[1], c[2]});
                geo.normals.insert(geo.normals.end(), {n[0], n[1], n[2]});
            }
        }
    }
    out = std::move(geo);
    return true;
}

bool import_camera(const QString& path, fbx_camera& out, QString* error) {
    const std::unique_ptr<fbx_scene> scene = fbx_scene::open(path, error);
    if (!scene) return false;
    const int node = scene->find_node(fbx_scene::node_type::camera);
    if (node < 0) return failed(error, QStringLiteral("no camera node"));
    const std::optional<fbx_span> span = scene->animation_span();
    if (!span) return failed(error, QStringLiteral("no animation"));
    const long long first = frame_of(span->start);
    const long long last = frame_of(span->stop);
    if (last - first <= 0) return failed(error, QStringLiteral("animation shorter than a frame"));
    if (last - first + 1 > fbx_max_camera_keys || first < std::numeric_limits<int>::min() ||
        last > std::numeric_limits<int>::max()) {
        return failed(error, QStringLiteral("animation too long"));
    }

    fbx_camera cam;
    cam.aspect = static_cast<float>(scene->camera_aspect(node));
    if (!std::isfinite(cam.aspect)) return failed(error, QStringLiteral("non-finite film aspect"));
    for (long long f = first; f <= last; ++f) {
        const fbx_time t = static_cast<fbx_time>(f) * fbx_ticks_per_frame;
        fbx_camera_key key;
        key.matrix = to_view_axes(scene->global_transform(node, t), *scene);
        key.fov = static_cast<float>(scene->camera_fov(node, t));
        const float d = length(transformed(key.matrix, vec3(0.0f, 0.0f, 0.0f)));
        // A finite eye may still lie too far out for its distance to be a float.
        if (!std::all_of(key.matrix.begin(), key.matrix.end(),
                         [](float v) { return std::isfinite(v); }) ||
            !std::isfinite(key.fov) || !std::isfinite(d)) {
            return failed(error, QStringLiteral("non-finite camera key at frame %1").arg(f));
        }
        cam.keys.emplace(static_cast<int>(f), key);
        if (d > cam.scale) cam.scale = d;
    }
    out = std::move(cam);
    return true;
}

}  // namespace kavrin
