// Geometry and camera import: triangles, normals, axis conversion, camera keys, failures.
#include "exchange/fbx_import.h"
#include "fbx_samples.h"
#include "fbx_test_support.h"

#include <cmath>
#include <limits>
#include <random>

using namespace kavrin;
using namespace kavrin::fbx_test;

namespace {

constexpr double deg = 3.14159265358979323846 / 180.0;

vec3 corner(const fbx_geometry& g, int i) {
    return vec3(g.vertices[3 * i], g.vertices[3 * i + 1], g.vertices[3 * i + 2]);
}
vec3 normal(const fbx_geometry& g, int i) {
    return vec3(g.normals[3 * i], g.normals[3 * i + 1], g.normals[3 * i + 2]);
}

void expect_near(const vec3& a, const vec3& b, float tol = 1e-6f) {
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(a[i], b[i], tol) << "component " << i;
}

// A geometry result that no import would produce, to see that failures leave it alone.
fbx_geometry marked_geometry() {
    fbx_geometry g;
    g.vertex_count = 3;
    g.vertices = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    g.normals = {0, 0, 1, 0, 0, 1, 0, 0, 1};
    return g;
}

fbx_camera marked_camera() {
    fbx_camera c;
    c.aspect = 2.5f;
    c.scale = 7.0f;
    c.keys[3].fov = 11.0f;
    return c;
}

void expect_marked(const fbx_geometry& g) {
    const fbx_geometry m = marked_geometry();
    EXPECT_EQ(g.vertex_count, m.vertex_count);
    EXPECT_EQ(g.vertices, m.vertices);
    EXPECT_EQ(g.normals, m.normals);
}

void expect_marked(const fbx_camera& c) {
    EXPECT_EQ(c.aspect, 2.5f);
    EXPECT_EQ(c.scale, 7.0f);
    ASSERT_EQ(c.keys.size(), 1u);
    EXPECT_EQ(c.keys.at(3).fov, 11.0f);
}

scene_desc quad_scene() {
    scene_desc s;
    s.models = {quad_model()};
    return s;
}

}  // namespace

TEST(fbx_import, quad_becomes_two_triangles_facing_z) {
    temp_folder dir;
    fbx_geometry g;
    QString error;
    ASSERT_TRUE(import_geometry(dir.write("quad.fbx", quad_scene()), g, &error))
        << error.toStdString();
    ASSERT_EQ(g.vertex_count, 6);
    ASSERT_EQ(g.vertices.size(), 18u);
    ASSERT_EQ(g.normals.size(), 18u);
    const vec3 q[] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    const int fan[] = {0, 1, 2, 0, 2, 3};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(corner(g, i), q[fan[i]]) << "corner " << i;
        EXPECT_EQ(normal(g, i), vec3(0, 0, 1)) << "corner " << i;
    }
}

TEST(fbx_import, axis_conversion) {
    struct axis_case {
        const char* label;
        int up, up_sign, front, front_sign;
        double unit;
        vec3 in, out;
    } cases[] = {
        {"z up: up goes to +y", 2, 1, 1, -1, 1.0, {0, 0, 1}, {0, 1, 0}},
        {"z up: y goes to -z", 2, 1, 1, -1, 1.0, {0, 1, 0}, {0, 0, -1}},
        {"z up: (x, y, z) → (x, z, -y)", 2, 1, 1, -1, 1.0, {2, 3, 5}, {2, 5, -3}},
        {"left-handed mirrors z", 1, 1, 2, -1, 1.0, {2, 3, 5}, {2, 3, -5}},
        {"negative y up flips y", 1, -1, 2, -1, 1.0, {2, 3, 5}, {2, -3, 5}},
        {"metres to centimetres", 1, 1, 2, 1, 100.0, {2, 3, 5}, {200, 300, 500}},
    };
    temp_folder dir;
    for (const axis_case& c : cases) {
        SCOPED_TRACE(c.label);
        scene_desc s;
        s.up_axis = c.up;
        s.up_sign = c.up_sign;
        s.front_axis = c.front;
        s.front_sign = c.front_sign;
        s.unit_scale = c.unit;
        model_desc tri = quad_model();
        // A triangle with the test point first, so that it is corner 0.
        tri.points = {{c.in[0], c.in[1], c.in[2]},
                      {c.in[0] + 1, c.in[1], c.in[2]},
                      {c.in[0], c.in[1] + 1, c.in[2]}};
        tri.polygons = {{0, 1, 2}};
        s.models = {tri};
        fbx_geometry g;
        ASSERT_TRUE(import_geometry(dir.write("axes.fbx", s), g));
        ASSERT_EQ(g.vertex_count, 3);
        expect_near(corner(g, 0), c.out, 1e-4f);
        // The face normal is that of the converted corners, of unit length.
        const vec3 n = normalise(cross(corner(g, 1) - corner(g, 0), corner(g, 2) - corner(g, 0)));
        expect_near(normal(g, 0), n, 1e-5f);
        EXPECT_NEAR(length(normal(g, 0)), 1.0f, 1e-6f);
    }
}

// The orbit camera and a placed bottle, written y-up and again z-up as a z-up exporter would:
// both land in the viewport alike, corners, normals and camera poses.
TEST(fbx_import, z_up_file_lands_where_its_y_up_twin_does) {
    scene_desc y_up = orbit_camera_scene();
    model_desc bottle = bottle_scene().models[0];
    bottle.translation = {3, 4, 5};
    bottle.rotation = {10, 20, 30};
    y_up.models.push_back(bottle);
    const scene_desc z_up = z_up_version(y_up);
    const auto largest_difference = [](const auto& a, const auto& b) {
        float most = 0.0f;
        for (std::size_t i = 0; i < a.size(); ++i)
            most = std::max(most, std::fabs(a[i] - b[i]));
        return most;
    };
    temp_folder dir;
    for (encoding enc : {encoding::ascii, encoding::binary}) {
        SCOPED_TRACE(enc == encoding::ascii ? "ascii" : "binary");
        fbx_geometry gy, gz;
        ASSERT_TRUE(import_geometry(dir.write("y.fbx", y_up, enc), gy));
        ASSERT_TRUE(import_geometry(dir.write("z.fbx", z_up, enc), gz));
        ASSERT_EQ(gy.vertex_count, gz.vertex_count);
        EXPECT_LT(largest_difference(gy.vertices, gz.vertices), 1e-4f);
        EXPECT_LT(largest_difference(gy.normals, gz.normals), 1e-5f);

        fbx_camera cy, cz;
        ASSERT_TRUE(import_camera(dir.path("y.fbx"), cy));
        ASSERT_TRUE(import_camera(dir.path("z.fbx"), cz));
        ASSERT_EQ(cy.keys.size(), cz.keys.size());
        EXPECT_EQ(cy.aspect, cz.aspect);
        EXPECT_NEAR(cy.scale, cz.scale, 1e-3f);
        for (const auto& [f, ky] : cy.keys) {
            SCOPED_TRACE(testing::Message() << "frame " << f);
            const fbx_camera_key& kz = cz.keys.at(f);
            // Eye, a point along the view and one above it: position, aim and roll.
            for (const vec3& p : {vec3(0, 0, 0), vec3(1, 0, 0), vec3(0, 1, 0)})
                expect_near(transform_point(kz, p), transform_point(ky, p), 1e-3f);
            EXPECT_EQ(kz.fov, ky.fov);
        }
    }
}

TEST(fbx_import, polygons_fan_into_triangles) {
    scene_desc s;
    model_desc m = quad_model();
    m.points = {{0, 0, 0}, {2, 0, 0}, {3, 1, 0}, {1, 3, 0}, {-1, 1, 0},
                {5, 5, 5}, {6, 6, 6}, {7, 7, 7}, {0, 0, 0}};
    // A pentagon, a line, a flat triangle, then two quads whose first corners coincide (as where
    // a lathed shape closes to a point): one facing up, one facing down.
    m.polygons = {{0, 1, 2, 3, 4}, {5, 6}, {5, 6, 7}, {0, 8, 1, 3}, {3, 2, 2, 1}};
    m.translation = {0, 0, 10};
    s.models = {m};
    temp_folder dir;
    fbx_geometry g;
    ASSERT_TRUE(import_geometry(dir.write("poly.fbx", s), g));
    // Pentagon: 3 triangles; the two-corner line has no face; the collinear one gives one.
    ASSERT_EQ(g.vertex_count, 24);
    const int fan[] = {0, 1, 2, 0, 2, 3, 0, 3, 4};
    for (int i = 0; i < 9; ++i) {
        const auto& p = m.points[static_cast<std::size_t>(fan[i])];
        EXPECT_EQ(corner(g, i), vec3(p[0], p[1], p[2] + 10)) << "corner " << i;
        EXPECT_EQ(normal(g, i), vec3(0, 0, 1));
    }
    // A face without area keeps a zero normal rather than NaN.
    for (int i = 9; i < 12; ++i)
        EXPECT_EQ(normal(g, i), vec3(0, 0, 0));
    // The whole polygon gives the normal, not its first three corners alone.
    for (int i = 12; i < 24; ++i)
        EXPECT_EQ(normal(g, i), vec3(0, 0, i < 18 ? 1 : -1)) << "corner " << i;
}

TEST(fbx_import, camera_keys_follow_the_animation) {
    scene_desc s;
    s.animated = true;
    s.start_frame = 0;
    s.stop_frame = 100;
    model_desc cam = camera_model();
    cam.film_aspect = 16.0 / 9.0;
    // Out and part of the way back, so that the farthest key is not the last.
    cam.translation_keys = {{0, {0, 0, 0}}, {60, {30, -40, 10}}, {100, {6, -8, 2}}};
    cam.rotation_keys = {{0, {0, 0, 0}}, {100, {0, 0, 90}}};
    cam.focal_keys = {{0, 20.0}, {100, 70.0}};
    s.models = {cam};
    temp_folder dir;
    fbx_camera out;
    QString error;
    ASSERT_TRUE(import_camera(dir.write("cam.fbx", s), out, &error)) << error.toStdString();

    EXPECT_FLOAT_EQ(out.aspect, 16.0f / 9.0f);
    ASSERT_EQ(out.keys.size(), 101u);
    EXPECT_EQ(out.keys.begin()->first, 0);
    EXPECT_EQ(out.keys.rbegin()->first, 100);
    float farthest = 0.0f;
    for (const auto& [f, key] : out.keys) {
        SCOPED_TRACE(testing::Message() << "frame " << f);
        const float u = f / 100.0f;
        const float out_and_back = f <= 60 ? f / 60.0f : 1.0f - 0.8f * (f - 60) / 40.0f;
        const vec3 eye = transform_point(key, vec3(0, 0, 0));
        expect_near(eye, vec3(30, -40, 10) * out_and_back, 1e-4f);
        farthest = std::max(farthest, length(eye));
        // Looking along local +x, turned about z by 90u degrees.
        const vec3 dir = transform_point(key, vec3(1, 0, 0)) - eye;
        expect_near(dir, vec3(std::cos(90 * u * deg), std::sin(90 * u * deg), 0), 1e-5f);
        const double focal = 20.0 + 50.0 * u;
        EXPECT_NEAR(key.fov, 2.0 * std::atan(0.816 * 25.4 / 2.0 / focal) / deg, 1e-3);
    }
    EXPECT_FLOAT_EQ(out.scale, farthest);
    EXPECT_NEAR(out.scale, std::sqrt(30.0 * 30 + 40 * 40 + 10 * 10), 1e-3);
}

TEST(fbx_import, mesh_over_the_corner_limit_is_refused) {
    // One polygon of n corners fans into 3 (n - 2) triangle corners: just over the limit.
    const int n = static_cast<int>(fbx_max_corners / 3 + 3);
    std::vector<std::int32_t> corners(static_cast<std::size_t>(n), 0);
    corners.back() = -2;  // index 1, closing the polygon
    node geo("Geometry", {std::int64_t{2}, object_name{"Geometry", "Huge"}, std::string("Mesh")});
    // Scattered points that do not deflate make the file large enough for the memory budget to
    // hold the corner list, so that the corner limit is what refuses it.
    std::vector<double> points(750'000);
    std::mt19937_64 random(1);
    std::uniform_real_distribution<double> scatter(-1.0, 1.0);
    for (double& p : points)
        p = scatter(random);
    geo.add(node("Vertices", {points}));
    geo.add(node("PolygonVertexIndex", {corners}));
    corners = {};
    node objects("Objects");
    objects.add(
        node("Model", {std::int64_t{1}, object_name{"Model", "Huge"}, std::string("Mesh")}));
    objects.add(std::move(geo));
    node links("Connections");
    links.add(node("C", {std::string("OO"), std::int64_t{1}, std::int64_t{0}}));
    links.add(node("C", {std::string("OO"), std::int64_t{2}, std::int64_t{1}}));
    temp_folder dir;
    const QByteArray bytes = to_binary({std::move(objects), std::move(links)}, 7400, 1000);
    ASSERT_GT(fbx_document_budget(bytes.size()), (points.size() + n) * 8);
    const QString path = dir.write("huge.fbx", bytes);
    fbx_geometry g = marked_geometry();
    QString error;
    EXPECT_FALSE(import_geometry(path, g, &error));
    EXPECT_TRUE(error.contains("too large")) << error.toStdString();
    expect_marked(g);
}

// Values that are finite in the file but not as floats once scaled, and NaN or infinity written
// into it: the import refuses them instead of handing them to the viewport.
TEST(fbx_import, non_finite_results_are_refused) {
    const double inf = std::numeric_limits<double>::infinity();
    scene_desc huge_unit = quad_scene();
    huge_unit.unit_scale = 1e308;
    scene_desc nan_corner = quad_scene();
    nan_corner.models[0].points[2] = {1, std::nan(""), 0};

    scene_desc camera;
    camera.animated = true;
    camera.models = {camera_model()};
    camera.models[0].translation = {1, 2, 3};
    scene_desc camera_unit = camera;
    camera_unit.unit_scale = 1e308;
    scene_desc wide_film = camera;
    wide_film.models[0].film_aspect = 1e300;
    scene_desc endless_key = camera;
    endless_key.models[0].translation_keys = {{0, {0, 0, 0}}, {50, {0, inf, 0}}};
    scene_desc far_key = camera;
    far_key.models[0].translation_keys = {{0, {0, 0, 0}}, {50, {3e38, 3e38, 3e38}}};

    temp_folder dir;
    for (encoding enc : {encoding::ascii, encoding::binary}) {
        for (const scene_desc* bad : {&huge_unit, &nan_corner}) {
            fbx_geometry g = marked_geometry();
            QString error;
            EXPECT_FALSE(import_geometry(dir.write("bad.fbx", *bad, enc), g, &error));
            EXPECT_TRUE(error.contains("non-finite")) << error.toStdString();
            expect_marked(g);
        }
        for (const scene_desc* bad : {&camera_unit, &wide_film, &endless_key, &far_key}) {
            fbx_camera c = marked_camera();
            QString error;
            EXPECT_FALSE(import_camera(dir.write("bad.fbx", *bad, enc), c, &error));
            EXPECT_TRUE(error.contains("non-finite")) << error.toStdString();
            expect_marked(c);
        }
    }
    fbx_camera c;
    EXPECT_TRUE(import_camera(dir.write("good.fbx", camera), c));
}

TEST(fbx_import, camera_axes_and_span) {
    temp_folder dir;
    // A z-up file: the key transforms go through the same conversion as geometry.
    scene_desc s;
    s.up_axis = 2;
    s.front_axis = 1;
    s.front_sign = -1;
    s.animated = true;
    s.start_frame = 10;
    s.stop_frame = 40;
    model_desc cam = camera_model();
    cam.translation = {1, 2, 3};
    s.models = {cam};
    fbx_camera out;
    ASSERT_TRUE(import_camera(dir.write("zup.fbx", s), out));
    // Keys cover the stack's span only: frames 10 to 40.
    ASSERT_EQ(out.keys.size(), 31u);
    EXPECT_EQ(out.keys.begin()->first, 10);
    EXPECT_EQ(out.keys.rbegin()->first, 40);
    expect_near(transform_point(out.keys.at(25), vec3(0, 0, 0)), vec3(1, 3, -2), 1e-5f);
    // The default lens: 0.816 x 0.612 inch film.
    EXPECT_NEAR(out.aspect, 0.816f / 0.612f, 1e-6f);

    // A span of no more than one frame, an absent stack and an overlong span all fail and
    // leave the earlier camera as it was.
    scene_desc flat = s;
    flat.start_frame = flat.stop_frame = 40;
    scene_desc still = s;
    still.animated = false;
    scene_desc endless = s;
    endless.start_frame = -600'000;
    endless.stop_frame = 600'000;
    for (const scene_desc* bad : {&flat, &still, &endless}) {
        fbx_camera kept = marked_camera();
        QString error;
        EXPECT_FALSE(import_camera(dir.write("bad.fbx", *bad), kept, &error));
        EXPECT_FALSE(error.isEmpty());
        expect_marked(kept);
    }
}

TEST(fbx_import, failures_leave_results_untouched) {
    temp_folder dir;
    const QByteArray good = encode(quad_scene(), encoding::binary);
    scene_desc root_camera;
    root_camera.animated = true;
    root_camera.root_camera = true;
    const QString paths[] = {
        dir.path("missing.fbx"),
        dir.write("empty.fbx", QByteArray()),
        dir.write("text.fbx", "not an fbx file"),
        dir.write("cut.fbx", good.left(good.size() / 2)),
        dir.write("cut_ascii.fbx", encode(quad_scene(), encoding::ascii).chopped(40)),
        dir.write("root_camera.fbx", root_camera),
    };
    for (const QString& path : paths) {
        SCOPED_TRACE(path.toStdString());
        fbx_geometry g = marked_geometry();
        fbx_camera c = marked_camera();
        QString geo_error, cam_error;
        if (!path.endsWith("root_camera.fbx")) {
            EXPECT_FALSE(import_geometry(path, g, &geo_error));
            EXPECT_FALSE(geo_error.isEmpty());
        }
        EXPECT_FALSE(import_camera(path, c, &cam_error));
        EXPECT_FALSE(cam_error.isEmpty());
        expect_marked(g);
        expect_marked(c);
    }
    // A mesh whose polygons point past its vertices is refused as a whole.
    scene_desc broken = quad_scene();
    broken.models[0].polygons = {{0, 1, 2}, {0, 2, 99}};
    fbx_geometry g = marked_geometry();
    EXPECT_FALSE(import_geometry(dir.write("broken.fbx", broken), g));
    expect_marked(g);
}

TEST(fbx_import, sample_bottle_and_orbit_camera) {
    temp_folder dir;
    fbx_geometry bottle;
    ASSERT_TRUE(import_geometry(dir.write("bottle.fbx", bottle_scene(), encoding::binary), bottle));
    const int n = bottle_segments;
    ASSERT_EQ(bottle.vertex_count, 3 * (n - 2) + 12 * n * 2 * 3);
    // The base faces down; every side face points away from the axis.
    for (int i = 0; i < 3 * (n - 2); ++i)
        expect_near(normal(bottle, i), vec3(0, -1, 0), 1e-5f);
    for (int t = n - 2; t < bottle.vertex_count / 3; ++t) {
        const vec3 centre =
            (corner(bottle, 3 * t) + corner(bottle, 3 * t + 1) + corner(bottle, 3 * t + 2)) / 3.0f;
        const vec3 radial = normalise(vec3(centre[0], 0, centre[2]));
        EXPECT_GT(dot(normal(bottle, 3 * t), radial), 0.0f) << "triangle " << t;
    }

    const orbit_layout o;
    fbx_camera cam;
    ASSERT_TRUE(import_camera(dir.write("orbit.fbx", orbit_camera_scene(o)), cam));
    ASSERT_EQ(cam.keys.size(), 101u);
    EXPECT_FLOAT_EQ(cam.aspect, static_cast<float>(o.film_width / o.film_height));
    const vec3 centre(o.centre[0], o.centre[1], o.centre[2]);
    const float arm = std::sqrt(o.radius * o.radius + o.height * o.height);
    float farthest = 0.0f;
    for (const auto& [f, key] : cam.keys) {
        SCOPED_TRACE(testing::Message() << "frame " << f);
        const vec3 eye = transform_point(key, vec3(0, 0, 0));
        EXPECT_NEAR(length(eye - centre), arm, 1e-3f);
        EXPECT_NEAR(eye[1], o.centre[1] + o.height, 1e-3f);
        // The viewing axis meets the centre, the up axis leans towards +y.
        const vec3 view = normalise(transform_point(key, vec3(1, 0, 0)) - eye);
        expect_near(view, normalise(centre - eye), 1e-4f);
        EXPECT_GT((transform_point(key, vec3(0, 1, 0)) - eye)[1], 0.9f);
        farthest = std::max(farthest, length(eye));
    }
    EXPECT_FLOAT_EQ(cam.scale, farthest);
    // Half way round the camera is on the other side of the centre.
    const vec3 start = transform_point(cam.keys.at(0), vec3(0, 0, 0));
    const vec3 half = transform_point(cam.keys.at(50), vec3(0, 0, 0));
    EXPECT_NEAR(start[0] + half[0], 2 * o.centre[0], 1e-3f);
    EXPECT_NEAR(cam.keys.at(0).fov,
                2.0 * std::atan(o.film_width * 25.4 / 2.0 / o.focal_start) / deg, 1e-3);
    EXPECT_NEAR(cam.keys.at(100).fov,
                2.0 * std::atan(o.film_width * 25.4 / 2.0 / o.focal_end) / deg, 1e-3);
}
