#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "view/camera.h"

using namespace kavrin;

namespace {

float degrees_between(const vec3& a, const vec3& b) {
    const float c = dot(normalise(a), normalise(b));
    return std::acos(std::min(1.0f, std::max(-1.0f, c))) * 180.0f / 3.14159265f;
}

// Up as the picture shows it: screen right crossed with the view direction.
vec3 picture_up(const camera_state& c) {
    return cross(c.focal_tangent, c.focal_vect);
}

}  // namespace

TEST(CameraDrags, ZoomOf250PixelsAtFocalOneReachesTheCentre) {
    camera_state c;
    c.focal_mag = 1.0f;
    const vec3 centre = c.centre();
    scale_drag(c, 250.0f);
    EXPECT_EQ(c.focal_mag, 0.0f);
    EXPECT_FLOAT_EQ(c.position.z(), 2.0f);
    EXPECT_EQ(c.centre(), centre);

    camera_state d;
    const vec3 fixed = d.centre();
    scale_drag(d, 37.0f);
    scale_drag(d, -80.0f);
    EXPECT_NEAR(length(d.centre() - fixed), 0.0f, 1e-5f);
    EXPECT_NEAR(length(d.position - fixed), d.focal_mag, 1e-5f);
}

TEST(CameraDrags, TranslateMovesEyeAndCentreTogether) {
    camera_state c;
    c.focal_mag = 1.0f;
    translate_drag(c, 100.0f, 0.0f);
    EXPECT_NEAR(c.position.x(), -0.06f, 1e-6f);
    translate_drag(c, 0.0f, 50.0f);
    EXPECT_NEAR(c.position.y(), 0.03f, 1e-6f);
    EXPECT_FLOAT_EQ(c.position.z(), 3.0f);
}

TEST(CameraDrags, OnePixelRotateTurnsHalfADegreeAroundTheCentre) {
    for (const auto& [dx, dy] : {std::pair{1.0f, 0.0f}, std::pair{0.0f, 1.0f}}) {
        camera_state c;
        const vec3 before = c.focal_vect, centre = c.centre();
        rotate_drag(c, dx, dy);
        EXPECT_NEAR(degrees_between(before, c.focal_vect), 0.5f, 2e-3f);
        EXPECT_NEAR(length(c.centre() - centre), 0.0f, 1e-5f);
        EXPECT_NEAR(length(c.focal_vect), 1.0f, 1e-6f);
    }
}

TEST(CameraDrags, SceneFollowsTheMouseAndStaysUpright) {
    camera_state c;
    rotate_drag(c, 20.0f, 0.0f);
    EXPECT_LT(c.position.x(), 0.0f);  // dragging right swings the eye left around the centre
    EXPECT_EQ(c.focal_normal.y(), 1.0f);
    camera_state d;
    rotate_drag(d, 0.0f, 20.0f);
    EXPECT_GT(d.position.y(), 0.0f);  // dragging down lifts the eye: the scene tilts down
    EXPECT_GT(dot(d.focal_normal, picture_up(d)), 0.0f);
}

TEST(CameraDrags, AfterAnyRotateTheUpAxisIsLevelledAndUpright) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> step(-20.0f, 20.0f);  // mouse moves, not jumps
    camera_state c = fountain_camera();
    for (int i = 0; i < 2000; ++i) {
        rotate_drag(c, step(random), step(random));
        const float y = c.focal_normal.y();
        ASSERT_TRUE(y == 1.0f || y == -1.0f || y == 0.0f) << y;
        ASSERT_NEAR(length(c.focal_vect), 1.0f, 1e-4f);
        // Upside down (past a pole) or not, the up axis agrees with the picture.
        if (y != 0.0f) {
            ASSERT_GT(dot(c.focal_normal, picture_up(c)), 0.0f) << i;
        }
    }
}

TEST(CameraDrags, LevelUpAxisSkipsTheYaw) {
    camera_state c;
    c.focal_normal = vec3(0.0f, 0.0f, 1.0f);
    const camera_state before = c;
    rotate_drag(c, 40.0f, 0.0f);
    EXPECT_EQ(c.focal_tangent, before.focal_tangent);
    EXPECT_NEAR(length(c.position - before.position), 0.0f, 1e-6f);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(std::isfinite(c.focal_vect[i]));
}

TEST(CameraProjection, ClipPlanesFollowTheEyeDistanceInPowersOfTen) {
    for (float d : {1.0f, 3.0f, 5.0f, 9.99f}) {
        camera_state c;
        c.position = vec3(0.0f, 0.0f, d);
        const projection p = camera_projection(c, 1.5f);
        EXPECT_FLOAT_EQ(p.z_near, 0.01f) << d;
        EXPECT_FLOAT_EQ(p.z_far, 100.0f) << d;
    }
    EXPECT_FLOAT_EQ(scene_scale(10.0f), 1.0f);
    EXPECT_FLOAT_EQ(scene_scale(0.5f), 0.01f);
    EXPECT_TRUE(std::isfinite(scene_scale(0.0f)));
    EXPECT_GT(scene_scale(0.0f), 0.0f);
}

TEST(CameraProjection, ConvStretchesTheHalfAngle) {
    EXPECT_NEAR(conv(35.0f, 1.0f), 35.0f, 1e-4f);
    EXPECT_NEAR(conv(90.0f, 2.0f), 2.0f * std::atan(2.0f) * 180.0f / 3.14159265f, 1e-3f);
    EXPECT_NEAR(conv(60.0f, 0.5f), 2.0f * std::atan(std::tan(0.5236f) * 0.5f) * 57.29578f, 1e-3f);
}

TEST(CameraProjection, CentreOfViewProjectsToTheMiddle) {
    const camera_state c;
    const projection p = camera_projection(c, 400.0f / 300.0f);
    const QPointF middle = project_point(p, 400, 300, c.centre());
    EXPECT_NEAR(middle.x(), 200.0, 1e-3);
    EXPECT_NEAR(middle.y(), 150.0, 1e-3);
    // Screen y grows downwards: a point above the centre lands above the middle.
    EXPECT_LT(project_point(p, 400, 300, vec3(0.0f, 0.3f, 0.0f)).y(), 150.0);
    EXPECT_GT(project_point(p, 400, 300, vec3(0.3f, 0.0f, 0.0f)).x(), 200.0);
}

TEST(CameraProjection, SceneCameraKeyGivesEyeDirectionAndFieldOfView) {
    scene_key key;
    // Camera at (5, 1, 0) looking along world -x (its local +x), local +y staying up.
    const float m[16] = {-1, 0, 0, 5, 0, 1, 0, 1, 0, 0, -1, 0, 0, 0, 0, 1};
    std::copy(m, m + 16, key.matrix);
    key.fov = 50.0f;
    EXPECT_EQ(key.apply(vec3(1.0f, 0.0f, 0.0f)), vec3(4.0f, 1.0f, 0.0f));

    camera_state c;
    c.focal_mag = 2.0f;
    const projection p = camera_projection(c, 2.0f, &key, 1.5f, 30.0f);
    EXPECT_EQ(p.eye, vec3(5.0f, 1.0f, 0.0f));
    EXPECT_EQ(p.centre, vec3(3.0f, 1.0f, 0.0f));
    EXPECT_EQ(p.up, vec3(0.0f, 1.0f, 0.0f));
    EXPECT_NEAR(p.fov, conv(conv(50.0f, 1.0f / 1.5f), 1.05f), 1e-4f);
    EXPECT_FLOAT_EQ(p.z_near, 0.1f * scene_scale(30.0f));
    // A film wider than the widget also narrows to the widget.
    const projection narrow = camera_projection(c, 1.0f, &key, 1.5f, 30.0f);
    EXPECT_NEAR(narrow.fov, conv(conv(conv(50.0f, 1.0f / 1.5f), 1.5f), 1.05f), 1e-4f);
}

TEST(CameraFraming, ThePointsFillTheViewToItsMarginWithoutTurningIt) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int trial = 0; trial < 40; ++trial) {
        camera_state c;
        rotate_drag(c, u(random) * 300.0f, u(random) * 120.0f);
        // A cloud stretched differently along each axis, somewhere in the scene.
        const vec3 middle(u(random) * 5.0f, u(random) * 5.0f, u(random) * 5.0f);
        const vec3 stretch(1.0f + u(random), 0.2f + u(random) * 0.1f, 0.5f + u(random) * 0.4f);
        std::vector<vec3> points;
        for (int i = 0; i < 300; ++i)
            points.push_back(middle + vec3(u(random) * stretch[0], u(random) * stretch[1],
                                           u(random) * stretch[2]));
        const int w = 300 + trial * 20, h = 600 - trial * 10;
        const camera_state f = framed(c, points, float(w) / float(h));
        EXPECT_EQ(f.focal_vect, c.focal_vect);
        EXPECT_EQ(f.focal_tangent, c.focal_tangent);
        EXPECT_EQ(f.focal_normal, c.focal_normal);
        // Every point on screen, and the outermost at the margin of the narrower side.
        const projection p = camera_projection(f, float(w) / float(h));
        float reach = 0.0f;
        for (const vec3& point : points) {
            const QPointF at = project_point(p, w, h, point);
            reach = std::max({reach, float(std::abs(at.x() - w * 0.5) / (w * 0.5)),
                              float(std::abs(at.y() - h * 0.5) / (h * 0.5))});
        }
        EXPECT_NEAR(reach, 0.9f, 1e-3f) << trial;
    }
    // A single point is centred at the focal distance the camera had.
    const camera_state one = framed(camera_state(), {vec3(1, 2, 3)}, 1.5f);
    EXPECT_FLOAT_EQ(one.focal_mag, camera_state().focal_mag);
    EXPECT_LT(length(one.centre() - vec3(1, 2, 3)), 1e-5f);
}
