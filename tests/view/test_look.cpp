#include <gtest/gtest.h>

#include <cmath>

#include "view/brush.h"
#include "view/particle_look.h"
#include "view/sphere_mesh.h"

using namespace kavrin;

TEST(SphereMesh, UnitRadiusQuadsFacingOutwards) {
    for (const auto& [rows, columns] : {std::pair{8, 16}, std::pair{32, 64}}) {
        const std::vector<float> v = sphere_quads(rows, columns);
        ASSERT_EQ(v.size(), size_t(rows * columns * 4 * 3));
        for (size_t i = 0; i < v.size(); i += 3)
            ASSERT_NEAR(std::sqrt(v[i] * v[i] + v[i + 1] * v[i + 1] + v[i + 2] * v[i + 2]), 1.0,
                        1e-5);
        int outward = 0, quads = 0;
        for (size_t q = 0; q < v.size(); q += 12, ++quads) {
            const vec3 a(v[q], v[q + 1], v[q + 2]), b(v[q + 3], v[q + 4], v[q + 5]),
                c(v[q + 6], v[q + 7], v[q + 8]), d(v[q + 9], v[q + 10], v[q + 11]);
            // Pole quads have two equal corners; take the larger of the two diagonal normals.
            vec3 n = cross(b - a, c - a);
            if (length(n) < 1e-9f) n = cross(c - a, d - a);
            if (dot(n, a + b + c + d) > 0.0f) ++outward;
        }
        EXPECT_EQ(outward, quads);
    }
}

TEST(ParticleLook, HeatRunsFromHiToLoOnTheHueCircle) {
    const vec3 at_hi = heat(1.0f, 0.0f, 1.0f);  // hue 0: red
    EXPECT_NEAR(at_hi.x(), 1.0f, 1e-3f);
    EXPECT_NEAR(at_hi.y(), 0.1f, 1e-3f);
    const vec3 middle = heat(0.5f, 0.0f, 1.0f);  // hue 0.5: cyan
    EXPECT_NEAR(middle.x(), 0.1f, 1e-3f);
    EXPECT_NEAR(middle.y(), 1.0f, 1e-3f);
    EXPECT_NEAR(middle.z(), 1.0f, 1e-3f);
    EXPECT_EQ(heat(-5.0f, 0.0f, 1.0f), heat(0.0f, 0.0f, 1.0f));  // clamped
}

TEST(ParticleLook, BrightnessAndSelectionTint) {
    particle up(1, vec3(), 1.0f);
    up.shade = 1.0f;
    up.normal = vec3(0.0f, 1.0f, 0.0f);
    EXPECT_NEAR(brightness(up), 1.4f, 1e-6f);

    particle side(2, vec3(), 1.0f);
    side.weight = 0.5f;
    side.shade = 0.5f;
    side.normal = vec3(0.0f, 0.0f, 1.0f);
    EXPECT_NEAR(brightness(side), 0.1f * std::log10(2.0f) + 0.35f, 1e-6f);

    particle dark(3, vec3(), 1.0f);
    dark.shade = 0.0f;  // clamped to 0.1: never black
    EXPECT_GT(brightness(dark), 0.1f);

    selection_look sel;
    const vec3 plain = particle_colour(up, false, sel);
    EXPECT_EQ(plain, vec3(1.4f, 1.4f, 1.4f));
    up.selected = true;
    const vec3 tinted = particle_colour(up, false, sel);  // at the brush centre: red tint
    EXPECT_NEAR(tinted.x(), 1.4f, 1e-5f);
    EXPECT_NEAR(tinted.y(), (0.7f * 0.1f + 0.3f) * 1.4f, 1e-5f);
    // With the mirror brush its image across x = 0 tints as the brush itself does.
    sel.pick_point = vec3(0.075f, 0.0f, 0.0f);  // half the brush radius from its image
    up.position = vec3(-0.075f, 0.0f, 0.0f);
    EXPECT_NE(particle_colour(up, false, sel), tinted);
    sel.mirror = true;
    EXPECT_EQ(particle_colour(up, false, sel), tinted);
    up.selected = false;
    up.scale = 9.0f;
    EXPECT_NEAR(particle_colour(up, true, sel).x(), 1.4f + 0.2f, 1e-5f);
}

TEST(ParticleLook, SizesScaleWithTheirInputsAndStayDrawable) {
    const scene_figures hundred{5050, 100, 2.0f};
    const float base = point_size(20, hundred, 35.0f, 3.0f, 600);
    EXPECT_GT(base, 1.0f);
    EXPECT_NEAR(point_size(40, hundred, 35.0f, 3.0f, 600), 2.0f * base, 1e-3f);
    EXPECT_NEAR(point_size(20, hundred, 35.0f, 6.0f, 600), 0.5f * base, 1e-3f);
    // Scenes that would divide by a zero or negative log, or have no size at all.
    EXPECT_TRUE(std::isfinite(point_size(20, {100, 100, 2.0f}, 35.0f, 3.0f, 600)));
    EXPECT_TRUE(std::isfinite(point_size(20, {50, 100, 2.0f}, 35.0f, 3.0f, 600)));
    EXPECT_EQ(point_size(20, {0, 0, 0.0f}, 35.0f, 3.0f, 600), 1.0f);
    EXPECT_EQ(point_size(20, hundred, 35.0f, 0.0f, 600), 1.0f);
    EXPECT_NEAR(sphere_radius(20, hundred, 2.0f), 2.0f * sphere_radius(20, hundred, 1.0f), 1e-6f);
    EXPECT_TRUE(std::isfinite(sphere_radius(20, {1, 1, 1.0f}, 1.0f)));
}

TEST(BrushSizes, DragsGrowByHalfAPercentPerPixelWithinBounds) {
    EXPECT_NEAR(grown_space(0.1f, 100.0f, 3.0f), 0.15f, 1e-6f);
    EXPECT_NEAR(grown_space(0.1f, 10000.0f, 3.0f), 1.5f, 1e-6f);  // half the focal distance
    EXPECT_NEAR(grown_space(0.1f, 10000.0f, 0.2f), 0.1f, 1e-6f);
    EXPECT_NEAR(grown_space(0.02f, -190.0f, 3.0f), 0.01f, 1e-6f);  // floor
    EXPECT_NEAR(grown_space(0.1f, 10.0f, 0.001f), 0.01f, 1e-6f);   // floor wins over ceiling
    EXPECT_NEAR(grown_power(0.5f, 100.0f), 0.75f, 1e-6f);
    EXPECT_EQ(grown_power(0.9f, 1000.0f), 1.0f);
    EXPECT_EQ(grown_power(0.02f, -1000.0f), 0.01f);

    brush b(nullptr);
    EXPECT_EQ(b.type(), brush_kind::grab);
    b.set_space(0.2f);
    b.drag_space(1000.0f, 0.5f);
    EXPECT_FLOAT_EQ(b.values().space, 0.25f);
    EXPECT_EQ(b.values().near_curve, 19);
    EXPECT_EQ(b.values().select_curve, 19);
}
