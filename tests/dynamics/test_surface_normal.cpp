#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "dynamics/frame_step.h"
#include "dynamics/grid_fields.h"
#include "scene_helpers.h"

using namespace kavrin;
using test::one_frame;

namespace {

// A sheet y = height(x, z) over [-1, 1]^2 and its slopes d/dx, d/dz.
struct sheet {
    const char* name;
    std::function<float(float, float)> height;
    std::function<vec3(float, float)> slopes;  // (dh/dx, 0, dh/dz)
    std::vector<int> counts;

    vec3 normal(float x, float z) const {
        const vec3 s = slopes(x, z);
        return normalise(vec3(-s[0], 1.0f, -s[2]));
    }
};

// About count particles on a square lattice over the sheet, each nudged a little in x and z.
void fill(one_frame& f, const sheet& s, int count) {
    const int side = int(std::lround(std::sqrt(double(count))));
    const float spacing = 2.0f / float(side);
    std::mt19937 random(7);
    std::uniform_real_distribution<float> nudge(-0.3f * spacing, 0.3f * spacing);
    int id = 0;
    for (int i = 0; i < side; ++i)
        for (int k = 0; k < side; ++k) {
            const float x = -1.0f + (float(i) + 0.5f) * spacing + nudge(random);
            const float z = -1.0f + (float(k) + 0.5f) * spacing + nudge(random);
            f.add(id++, vec3(x, s.height(x, z), z));
        }
}

// The viewport's pick: the nearest point where the ray from eye towards target enters one of the
// occupied cells' boxes, grown by the debug margin as they are drawn for picking.
bool pick(frame_set& fs, const vec3& eye, const vec3& target, vec3& hit) {
    const vec3 dir = normalise(target - eye);
    const float margin = debug_margin(fs);
    float nearest = std::numeric_limits<float>::max();
    fs.tree.visit_boxes(
        margin, [](const vec3&, const vec3&) { return true; },
        [&](int slot) {
            const box_table::box& b = fs.tree.boxes().at(slot);
            float enter = 0.0f, leave = std::numeric_limits<float>::max();
            for (int a = 0; a < 3; ++a) {
                const float lo = b.lo[a] - margin, hi = b.hi[a] + margin;
                if (dir[a] == 0.0f) {
                    if (eye[a] < lo || eye[a] > hi) return;
                    continue;
                }
                float t0 = (lo - eye[a]) / dir[a], t1 = (hi - eye[a]) / dir[a];
                if (t0 > t1) std::swap(t0, t1);
                enter = std::max(enter, t0);
                leave = std::min(leave, t1);
            }
            if (enter <= leave && enter < nearest) nearest = enter;
        });
    if (nearest == std::numeric_limits<float>::max()) return false;
    hit = eye + dir * nearest;
    return true;
}

float degrees_between(const vec3& a, const vec3& b) {
    const float c = std::clamp(dot(normalise(a), normalise(b)), -1.0f, 1.0f);
    return std::acos(c) * 180.0f / 3.14159265f;
}

}  // namespace

// Dense sheets, far thinner than a grid cell: wherever the brush is picked on them from above,
// the normal it is given lies within 10 degrees of the sheet's own normal there, for the serial
// field passes of a first step and for the parallel ones of a stroke's end alike.
TEST(SurfaceNormal, FollowsFlatTiltedAndWavySheetsWhereTheBrushIsPicked) {
    const sheet sheets[] = {
        {"flat",
         [](float, float) { return 0.0f; },
         [](float, float) { return vec3(); },
         {10000, 100000}},
        {"tilted",
         [](float x, float z) { return 0.4f * x - 0.2f * z; },
         [](float, float) { return vec3(0.4f, 0.0f, -0.2f); },
         {10000, 100000}},
        {"wavy",
         [](float x, float z) { return 0.1f * std::sin(3.0f * x) + 0.05f * std::cos(2.5f * z); },
         [](float x, float z) {
             return vec3(0.3f * std::cos(3.0f * x), 0.0f, -0.125f * std::sin(2.5f * z));
         },
         {10000, 100000, 1000000}},
    };
    const vec3 view_from = normalise(vec3(0.35f, 1.0f, 0.25f));
    for (const sheet& s : sheets)
        for (int count : s.counts) {
            one_frame f;
            fill(f, s, count);
            step(f.fs, true, false);
            for (bool parallel : {false, true}) {
                if (parallel) field_passes(f.fs, false);
                int checked = 0;
                for (float x : {-0.5f, 0.0f, 0.5f})
                    for (float z : {-0.5f, 0.0f, 0.5f}) {
                        const vec3 target(x, s.height(x, z), z);
                        const vec3 eye = target + view_from * 2.5f;
                        vec3 at;
                        ASSERT_TRUE(pick(f.fs, eye, target, at)) << s.name;
                        vec3 n;
                        ASSERT_TRUE(surface_normal(f.fs, at, normalise(eye - at), n)) << s.name;
                        EXPECT_LT(degrees_between(n, s.normal(at[0], at[2])), 10.0f)
                            << s.name << " " << count << (parallel ? " parallel" : " serial")
                            << " at " << at[0] << "," << at[1] << "," << at[2] << " got " << n[0]
                            << "," << n[1] << "," << n[2];
                        ++checked;
                    }
                EXPECT_EQ(checked, 9);
            }
        }
}
