// The FBX scene layer: axes, unit, node search, transforms over time, meshes, lenses, spans.
#include "fbx_samples.h"
#include "fbx_test_support.h"

#include <assimp/scene.h>
#include <assimp/Importer.hpp>
#include <cmath>

using namespace kavrin;
using namespace kavrin::fbx_test;

namespace {

constexpr double deg = 3.14159265358979323846 / 180.0;

void expect_near3(const std::array<double, 3>& a, const std::array<double, 3>& b,
                  double tol = 1e-9) {
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(a[i], b[i], tol) << "component " << i;
}

std::array<double, 3> origin(const fbx_matrix& m) {
    return {m[12], m[13], m[14]};
}

}  // namespace

TEST(fbx_scene, axis_system_and_handedness) {
    struct axes {
        int up, up_sign, front, front_sign, coord, coord_sign;
        bool left;
    } cases[] = {
        {1, 1, 2, 1, 0, 1, false},   // y up, x right, z towards the viewer
        {2, 1, 1, -1, 0, 1, false},  // z up, y away from the viewer
        {1, 1, 2, -1, 0, 1, true},   // y up with z away from the viewer
        {1, 1, 2, 1, 0, -1, true},   // y up with x mirrored
        {2, -1, 1, -1, 0, 1, true},  // z down
        {0, 1, 1, 1, 2, 1, false},   // x up: z × x = y
    };
    for (const axes& a : cases) {
        scene_desc s;
        s.up_axis = a.up;
        s.up_sign = a.up_sign;
        s.front_axis = a.front;
        s.front_sign = a.front_sign;
        s.coord_axis = a.coord;
        s.coord_sign = a.coord_sign;
        SCOPED_TRACE(testing::Message() << "up " << a.up << " front " << a.front * a.front_sign
                                        << " coord " << a.coord * a.coord_sign);
        const auto scene = load(s);
        ASSERT_TRUE(scene);
        EXPECT_EQ(scene->up_axis(), a.up);
        EXPECT_EQ(scene->up_sign(), a.up_sign);
        EXPECT_EQ(scene->left_handed(), a.left);
    }
}

TEST(fbx_scene, unusable_axes_or_unit_fail_to_open) {
    scene_desc same_axes;
    same_axes.front_axis = 1;  // up and front both y
    scene_desc zero_sign;
    zero_sign.up_sign = 0;
    scene_desc zero_unit;
    zero_unit.unit_scale = 0.0;
    scene_desc negative_unit;
    negative_unit.unit_scale = -1.0;
    for (const scene_desc* s : {&same_axes, &zero_sign, &zero_unit, &negative_unit}) {
        QString error;
        EXPECT_FALSE(fbx_scene::from_bytes(encode(*s, encoding::ascii), &error));
        EXPECT_FALSE(error.isEmpty());
    }
}

TEST(fbx_scene, lengths_come_out_in_centimetres) {
    scene_desc s;
    s.unit_scale = 100.0;  // metres
    model_desc parent = quad_model("Parent");
    parent.translation = {1, 2, 3};
    parent.rotation = {0, 90, 0};
    parent.scaling = {2, 2, 2};
    model_desc child;
    child.name = "Child";
    child.parent = 0;
    child.translation = {1, 0, 0};
    s.models = {parent, child};
    const auto scene = load(s);
    ASSERT_TRUE(scene);
    EXPECT_EQ(scene->unit_scale(), 100.0);

    const fbx_matrix p = scene->global_transform(1);
    expect_near3(origin(p), {100, 200, 300});
    // Rotation and scale stay as they are: x turns onto -z, doubled.
    expect_near3({p[0], p[1], p[2]}, {0, 0, -2});
    // The child sits at parent · (1, 0, 0) = (1, 2, 3) + (0, 0, -2) metres.
    expect_near3(origin(scene->global_transform(2)), {100, 200, 100});

    fbx_mesh mesh;
    ASSERT_TRUE(scene->mesh(1, mesh));
    ASSERT_EQ(mesh.points.size(), 4u);
    expect_near3(mesh.points[2], {100, 100, 0});
    // Mesh point through its node: (1, 0, 0) m → (1, 2, 3) + (0, 0, -2) m.
    expect_near3(transformed(p, mesh.points[1]), {100, 200, 100}, 1e-9);
}

TEST(fbx_scene, search_is_pre_order_below_the_root) {
    scene_desc s;
    model_desc a;
    a.name = "A";
    model_desc b = camera_model("B");
    b.parent = 0;
    model_desc c = camera_model("C");
    model_desc m = quad_model("M");
    m.parent = 2;
    s.models = {a, b, c, m};  // root → A → B, root → C → M
    s.root_camera = true;
    const auto scene = load(s);
    ASSERT_TRUE(scene);
    // Breadth-first would find C; pre-order reaches B through A first.
    EXPECT_EQ(scene->node_name(scene->find_node(fbx_scene::node_type::camera)), "B");
    EXPECT_EQ(scene->node_name(scene->find_node(fbx_scene::node_type::mesh)), "M");
    EXPECT_EQ(scene->node_name(0), "RootNode");

    scene_desc only_root;
    only_root.root_camera = true;
    only_root.models = {quad_model()};
    const auto lone = load(only_root);
    ASSERT_TRUE(lone);
    EXPECT_EQ(lone->find_node(fbx_scene::node_type::camera), -1);
    EXPECT_GE(lone->find_node(fbx_scene::node_type::mesh), 1);
}

TEST(fbx_scene, transform_composition) {
    scene_desc s;
    model_desc parent;
    parent.name = "Parent";
    parent.translation = {10, 0, 0};
    parent.rotation = {0, 0, 90};
    model_desc child;
    child.name = "Child";
    child.parent = 0;
    child.translation = {1, 0, 0};
    model_desc xyz;
    xyz.name = "XYZ";
    xyz.rotation = {90, 90, 0};
    model_desc zyx = xyz;
    zyx.name = "ZYX";
    zyx.rotation_order = 5;
    model_desc pivot;
    pivot.name = "Pivot";
    pivot.rotation = {0, 0, 90};
    pivot.vectors["RotationPivot"] = {1, 0, 0};
    model_desc pre;
    pre.name = "Pre";
    pre.rotation = {0, 0, 30};
    pre.vectors["PreRotation"] = {0, 0, 60};
    pre.vectors["PostRotation"] = {0, 0, 45};
    s.models = {parent, child, xyz, zyx, pivot, pre};
    const auto scene = load(s);
    ASSERT_TRUE(scene);
    // Child origin: parent translation plus the parent's turn of (1, 0, 0).
    expect_near3(origin(scene->global_transform(2)), {10, 1, 0});
    // XYZ turns about x first: y → z → x. ZYX turns about x last: y stays, then → z.
    expect_near3(transformed(scene->global_transform(3), {0, 1, 0}), {1, 0, 0});
    expect_near3(transformed(scene->global_transform(4), {0, 1, 0}), {0, 0, 1});
    // A turn about a pivot at (1, 0, 0) takes (2, 0, 0) to (1, 1, 0).
    expect_near3(transformed(scene->global_transform(5), {2, 0, 0}), {1, 1, 0});
    // Pre-rotation 60 · rotation 30 · inverse post-rotation 45: 45 degrees about z in all.
    expect_near3(transformed(scene->global_transform(6), {1, 0, 0}),
                 {std::cos(45 * deg), std::sin(45 * deg), 0});
}

TEST(fbx_scene, animation_interpolates_keys_of_node_and_ancestors) {
    scene_desc s;
    s.animated = true;
    s.start_frame = 10;
    s.stop_frame = 40;
    model_desc rig;
    rig.name = "Rig";
    rig.rotation_keys = {{10, {0, 0, 0}}, {40, {0, 0, 90}}};
    model_desc cam = camera_model();
    cam.parent = 0;
    cam.translation = {7, 7, 7};  // the default pose; keys below replace it in time
    cam.vectors["PreRotation"] = {0, 0, 30};
    // The first key lies before the stack's start; it still shapes the values inside the span.
    cam.translation_keys = {{0, {-5, 1, 0}}, {100, {-10, 1, 0}}};
    s.models = {rig, cam};
    for (encoding enc : {encoding::ascii, encoding::binary}) {
        const auto scene = load(s, enc);
        ASSERT_TRUE(scene);
        ASSERT_TRUE(scene->animation_span());
        EXPECT_EQ(scene->animation_span()->start, 10 * fbx_ticks_per_frame);
        EXPECT_EQ(scene->animation_span()->stop, 40 * fbx_ticks_per_frame);

        // Default time: static values, no animation.
        const fbx_matrix still = scene->global_transform(2);
        expect_near3(origin(still), {7, 7, 7});
        expect_near3({still[0], still[1], still[2]}, {std::cos(30 * deg), std::sin(30 * deg), 0});

        // Frame 10: rig not yet turned; camera at 10% of its way: (-5.5, 1, 0).
        const fbx_matrix f10 = scene->global_transform(2, 10 * fbx_ticks_per_frame);
        expect_near3(origin(f10), {-5.5, 1, 0}, 1e-6);
        expect_near3({f10[0], f10[1], f10[2]}, {std::cos(30 * deg), std::sin(30 * deg), 0}, 1e-6);
        // Frame 25 (0.8333 s): rig at 45 degrees, camera at (-6.25, 1, 0) turned with it.
        const fbx_matrix f25 = scene->global_transform(2, fbx_time_from_seconds(25.0 / 30.0));
        const double c = std::cos(45 * deg), sn = std::sin(45 * deg);
        expect_near3(origin(f25), {-6.25 * c - sn, -6.25 * sn + c, 0}, 1e-5);
        expect_near3({f25[0], f25[1], f25[2]}, {std::cos(75 * deg), std::sin(75 * deg), 0}, 1e-6);
        // Past the last rotation key the rig holds its final 90 degrees.
        const fbx_matrix late = scene->global_transform(1, 60 * fbx_ticks_per_frame);
        expect_near3({late[0], late[1], late[2]}, {0, 1, 0}, 1e-6);
    }
}

TEST(fbx_scene, span_comes_from_the_last_stack_with_one) {
    scene_desc s;
    s.animated = true;
    s.start_frame = 5;
    s.stop_frame = 50;
    s.models = {camera_model()};
    std::vector<node> doc = build_document(s);
    node* objects = nullptr;
    for (node& n : doc) {
        if (n.name == "Objects") objects = &n;
    }
    ASSERT_TRUE(objects);
    node* stack = nullptr;
    for (node& o : objects->children) {
        if (o.name == "AnimationStack") stack = &o;
    }
    ASSERT_TRUE(stack);

    // Without LocalStart/LocalStop the take of the same name gives the span.
    stack->children.clear();
    auto scene = fbx_scene::from_bytes(QByteArray::fromStdString(to_ascii(doc)));
    ASSERT_TRUE(scene && scene->animation_span());
    EXPECT_EQ(scene->animation_span()->start, 5 * fbx_ticks_per_frame);
    EXPECT_EQ(scene->animation_span()->stop, 50 * fbx_ticks_per_frame);

    // A later stack with its own span wins.
    node second("AnimationStack",
                {std::int64_t{999999}, object_name{"AnimStack", "Second"}, std::string()});
    node& props = second.add(node("Properties70"));
    props.add(node("P", {std::string("LocalStart"), std::string("KTime"), std::string("Time"),
                         std::string(""), std::int64_t{0}}));
    props.add(node("P", {std::string("LocalStop"), std::string("KTime"), std::string("Time"),
                         std::string(""), std::int64_t{200 * ticks_per_frame}}));
    objects->add(second);
    scene = fbx_scene::from_bytes(to_binary(doc));
    ASSERT_TRUE(scene && scene->animation_span());
    EXPECT_EQ(scene->animation_span()->start, 0);
    EXPECT_EQ(scene->animation_span()->stop, 200 * fbx_ticks_per_frame);

    scene_desc still;
    still.models = {camera_model()};
    const auto none = load(still);
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->animation_span());
}

TEST(fbx_scene, camera_lens) {
    const auto fov_of = [](double film_width, double focal) {
        return 2.0 * std::atan(film_width * 25.4 / 2.0 / focal) / deg;
    };
    scene_desc s;
    s.animated = true;
    model_desc animated = camera_model("Animated");
    animated.film_aspect = 1.5;
    animated.focal_keys = {{0, 20.0}, {100, 60.0}};
    model_desc plain = camera_model("Plain");
    plain.focal_length = 50.0;
    plain.film_width = 1.0;
    plain.film_height = 0.5;
    model_desc angle_only = camera_model("AngleOnly");
    angle_only.focal_length = -1;  // no focal length, only the angle
    angle_only.field_of_view = 40.0;
    s.models = {animated, plain, angle_only};
    const auto scene = load(s);
    ASSERT_TRUE(scene);

    EXPECT_DOUBLE_EQ(scene->camera_aspect(1), 1.5);
    EXPECT_DOUBLE_EQ(scene->camera_aspect(2), 2.0);                // film width over height
    EXPECT_NEAR(scene->camera_fov(1), fov_of(0.816, 35.0), 1e-9);  // static value
    EXPECT_NEAR(scene->camera_fov(1, 0), fov_of(0.816, 20.0), 1e-9);
    EXPECT_NEAR(scene->camera_fov(1, 25 * fbx_ticks_per_frame), fov_of(0.816, 30.0), 1e-6);
    EXPECT_NEAR(scene->camera_fov(1, 100 * fbx_ticks_per_frame), fov_of(0.816, 60.0), 1e-9);
    EXPECT_NEAR(scene->camera_fov(2, 50 * fbx_ticks_per_frame), fov_of(1.0, 50.0), 1e-9);
    EXPECT_NEAR(scene->camera_fov(3, 0), 40.0, 1e-9);
}

TEST(fbx_scene, mesh_polygons_and_geometric_offset) {
    scene_desc s;
    model_desc m = quad_model();
    m.points.push_back({0.5, 2, 0});
    m.polygons = {{0, 1, 2, 3}, {3, 2, 4}, {0, 1}};
    m.translation = {1, 0, 0};
    m.vectors["GeometricTranslation"] = {0, 0, 7};
    model_desc child;
    child.name = "Child";
    child.parent = 0;
    s.models = {m, child};
    const auto scene = load(s);
    ASSERT_TRUE(scene);
    fbx_mesh mesh;
    ASSERT_TRUE(scene->mesh(1, mesh));
    EXPECT_EQ(mesh.polygon_sizes, (std::vector<int>{4, 3, 2}));
    EXPECT_EQ(mesh.corners, (std::vector<int>{0, 1, 2, 3, 3, 2, 4, 0, 1}));
    // The offset moves the shape but not the node's children.
    expect_near3(mesh.points[4], {0.5, 2, 7});
    expect_near3(origin(scene->global_transform(2)), {1, 0, 0});

    QString error;
    EXPECT_FALSE(scene->mesh(2, mesh, &error));  // a node without mesh
    EXPECT_FALSE(error.isEmpty());

    model_desc bad = quad_model();
    bad.polygons = {{0, 1, 9}};
    s.models = {bad};
    const auto broken = load(s);
    ASSERT_TRUE(broken);
    fbx_mesh untouched;
    untouched.corners = {42};
    EXPECT_FALSE(broken->mesh(1, untouched, &error));
    EXPECT_TRUE(error.contains("range"));
    EXPECT_EQ(untouched.corners, std::vector<int>{42});
}

TEST(fbx_scene, binary_and_ascii_files_give_the_same_scene) {
    scene_desc s = orbit_camera_scene();
    s.models.push_back(bottle_scene().models[0]);
    const auto a = load(s, encoding::ascii);
    const auto b = load(s, encoding::binary);
    ASSERT_TRUE(a && b);
    ASSERT_EQ(a->node_count(), b->node_count());
    const int cam = a->find_node(fbx_scene::node_type::camera);
    for (int f : {0, 17, 50, 100}) {
        EXPECT_EQ(a->global_transform(cam, f * fbx_ticks_per_frame),
                  b->global_transform(cam, f * fbx_ticks_per_frame));
        EXPECT_EQ(a->camera_fov(cam, f * fbx_ticks_per_frame),
                  b->camera_fov(cam, f * fbx_ticks_per_frame));
    }
    fbx_mesh ma, mb;
    ASSERT_TRUE(a->mesh(a->find_node(fbx_scene::node_type::mesh), ma));
    ASSERT_TRUE(b->mesh(b->find_node(fbx_scene::node_type::mesh), mb));
    EXPECT_EQ(ma.points, mb.points);
    EXPECT_EQ(ma.corners, mb.corners);
}

// Assimp reads the same generated files on its own; its polygons and static transforms must
// match ours (it is not used for animation: it drops keys outside the stack's span).
TEST(fbx_scene, matches_assimp_on_polygons_and_static_transforms) {
    scene_desc s = bottle_scene();
    s.models[0].translation = {3, 4, 5};
    s.models[0].rotation = {10, 20, 30};
    model_desc child;
    child.name = "Child";
    child.parent = 0;
    child.translation = {1, 2, 3};
    child.rotation = {0, 45, 0};
    child.scaling = {1, 2, 1};
    s.models.push_back(child);
    // The z-up twin checks the writer's axis turn: Assimp applies the pre-rotation it is made of.
    for (const auto& [enc, scene] : {std::pair{encoding::ascii, s},
                                     {encoding::binary, s},
                                     {encoding::ascii, z_up_version(s)}}) {
        const QByteArray bytes = encode(scene, enc);
        Assimp::Importer importer;
        const aiScene* ai = importer.ReadFileFromMemory(bytes.constData(), bytes.size(), 0, "fbx");
        ASSERT_TRUE(ai) << importer.GetErrorString();
        const auto ours = load(scene, enc);
        ASSERT_TRUE(ours);

        const aiNode* bottle = ai->mRootNode->FindNode("Bottle");
        ASSERT_TRUE(bottle && bottle->mNumMeshes == 1);
        const aiMesh* am = ai->mMeshes[bottle->mMeshes[0]];
        fbx_mesh mesh;
        ASSERT_TRUE(ours->mesh(1, mesh));
        ASSERT_EQ(am->mNumFaces, mesh.polygon_sizes.size());
        std::size_t corner = 0;
        for (unsigned f = 0; f < am->mNumFaces; ++f) {
            ASSERT_EQ(am->mFaces[f].mNumIndices, static_cast<unsigned>(mesh.polygon_sizes[f]));
            for (unsigned k = 0; k < am->mFaces[f].mNumIndices; ++k, ++corner) {
                const aiVector3D& v = am->mVertices[am->mFaces[f].mIndices[k]];
                expect_near3(mesh.points[static_cast<std::size_t>(mesh.corners[corner])],
                             {v.x, v.y, v.z}, 1e-5);
            }
        }

        // Assimp's global transform (column vectors) is the transpose of ours.
        const aiNode* node = ai->mRootNode->FindNode("Child");
        ASSERT_TRUE(node);
        aiMatrix4x4 g = node->mTransformation;
        for (const aiNode* p = node->mParent; p; p = p->mParent)
            g = p->mTransformation * g;
        const fbx_matrix m = ours->global_transform(2);
        for (int r = 0; r < 4; ++r) {
            for (int c = 0; c < 4; ++c)
                EXPECT_NEAR(m[c * 4 + r], g[r][c], 1e-5);
        }
    }
}
