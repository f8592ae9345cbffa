#include <gtest/gtest.h>

#include <cmath>

#include "dynamics/deform.h"
#include "dynamics/frame_step.h"
#include "dynamics/level_index.h"
#include "scene_helpers.h"

using namespace kavrin;

namespace {

stroke make_stroke(brush_kind mode, bool ctrl = false, bool shift = false) {
    stroke s;
    s.mode = mode;
    s.keys = key_state::released();
    s.keys.set("ctrl", ctrl);
    s.keys.set("shift", shift);
    s.reach = 1.0f;
    return s;
}

}  // namespace

TEST(Deform, RemoveCompressesBeyondOne) {
    particle p(1, vec3(), 1.0f);
    p.weight = 0.5f;
    stroke s = make_stroke(brush_kind::remove);
    s.amount = 2.0f;
    s.falloff[1] = 1.0f;
    deform(p, s);
    EXPECT_FLOAT_EQ(p.weight, -std::log10(1.5f) - 1.0f);
    EXPECT_TRUE(p.moved && p.changed);
    stroke back = make_stroke(brush_kind::remove, true);
    back.amount = 3.0f;
    back.falloff[1] = 1.0f;
    p.weight = 0.5f;
    deform(p, back);  // v = 3.5
    EXPECT_FLOAT_EQ(p.weight, std::log10(3.5f) + 1.0f);
    EXPECT_TRUE(at_limit(p, back));
}

TEST(Deform, ScaleWithShiftStopsAtZero) {
    particle p(1, vec3(), 1.0f);
    stroke s = make_stroke(brush_kind::scale, false, true);
    s.reach = 4.0f;
    s.falloff[1] = 1.0f;
    deform(p, s);  // 1 - 4 * 0.1 = 0.6
    EXPECT_FLOAT_EQ(p.scale, 0.6f);
    for (int i = 0; i < 5; ++i)
        deform(p, s);
    EXPECT_EQ(p.scale, 0.0f);
    EXPECT_TRUE(at_limit(p, s));
    EXPECT_FALSE(at_limit(p, make_stroke(brush_kind::scale)));
}

TEST(Deform, RelaxSnapsOntoRestWithinTheThreshold) {
    particle p(1, vec3(), 1.0f);
    p.position = vec3(0.1f, 0, 0);  // 0.1 from rest
    stroke s = make_stroke(brush_kind::grab, true);
    s.reach = 10.0f;  // threshold 0.02
    s.amount = 1.0f;  // step d * 10 * 0.05 = half of d
    deform(p, s);
    EXPECT_FLOAT_EQ(p.position[0], 0.05f);  // |d| - |s| = 0.05 > 0.02: a plain step
    deform(p, s);
    EXPECT_FLOAT_EQ(p.position[0], 0.025f);
    deform(p, s);  // |d| - |s| = 0.0125 < 0.02: lands exactly on rest
    EXPECT_EQ(p.position, p.rest_position);
    EXPECT_TRUE(at_limit(p, s));

    particle q(2, vec3(), 1.0f);
    q.scale = 2.0f;
    stroke r = make_stroke(brush_kind::scale, true);
    r.reach = 2.0f;  // threshold 0.1
    r.falloff[2] = 1.0f;
    deform(q, r);  // step (1 - 2) * 2 * 0.03 = -0.06
    EXPECT_FLOAT_EQ(q.scale, 1.94f);
    r.reach = 40.0f;  // threshold 2: snap
    deform(q, r);
    EXPECT_EQ(q.scale, 1.0f);
}

TEST(Deform, MovesAlongVectorNormalAndToTheCentre) {
    particle p(1, vec3(1, 0, 0), 1.0f);
    stroke s = make_stroke(brush_kind::normal, false, true);
    s.vector = vec3(0, 1, 0);
    s.reach = 2.0f;
    s.amount = 0.5f;
    s.falloff[1] = 0.5f;
    deform(p, s);  // reversed by shift: -1 * 0.5 * 2 * 0.5 * 0.01
    EXPECT_FLOAT_EQ(p.position[1], -0.005f);

    stroke c = make_stroke(brush_kind::converge);
    c.centre = vec3(1, -0.005f, 0);  // exactly at the particle: no direction
    c.falloff[1] = 1.0f;
    const vec3 before = p.position;
    deform(p, c);
    EXPECT_EQ(p.position, before);
    c.centre = vec3(3, -0.005f, 0);
    deform(p, c);
    EXPECT_FLOAT_EQ(p.position[0], 1.003f);
}

TEST(Deform, TargetedStrokeSkipsParticlesAtTheirLimit) {
    particle p(1, vec3(), 1.0f);
    p.weight = 0.0f;
    stroke s = make_stroke(brush_kind::remove);
    s.targeted = true;
    s.weight = 0.5f;
    s.recorded[1] = 1.0f;
    s.targets[1] = 0.2f;
    p.moved = p.changed = true;
    deform(p, s);
    EXPECT_EQ(p.weight, 0.0f);
    EXPECT_FALSE(p.moved || p.changed);
    p.weight = 1.0f;
    deform(p, s);
    EXPECT_FLOAT_EQ(p.weight, 0.6f);  // 1 + (0.2 - 1) * 0.5

    particle q(2, vec3(), 1.0f);
    q.position = vec3(2, 0, 0);
    stroke relax = make_stroke(brush_kind::grab, true);
    relax.targeted = true;
    relax.weight = 1.0f;
    relax.recorded[2] = vec3(4, 0, 0);  // the painted particle went from 4 to 3, rest 0
    relax.targets[2] = std::array<vec3, 2>{vec3(3, 0, 0), vec3(0, 0, 0)};
    deform(q, relax);
    EXPECT_FLOAT_EQ(q.position[0], 1.5f);  // a quarter of the way to rest

    relax.recorded[2] = vec3(0, 0, 0);  // started at rest: no share of the way, no change
    q.position = vec3(2, 0, 0);
    deform(q, relax);
    EXPECT_EQ(q.position, vec3(2, 0, 0));
}

TEST(Deform, MissingKeysEndTheJob) {
    particle p(1, vec3(), 1.0f);
    stroke s;
    s.mode = brush_kind::grab;
    s.falloff[1] = 1.0f;
    EXPECT_THROW(deform(p, s), std::out_of_range);  // no key state
    stroke r = make_stroke(brush_kind::grab);
    r.restore = true;
    EXPECT_THROW(deform(p, r), std::out_of_range);  // nothing recorded for the particle
}

TEST(Deform, EaseTakesWholeThousandths) {
    EXPECT_FLOAT_EQ(ease(0, 0.8339), 0.833f);
    EXPECT_FLOAT_EQ(ease(19, 0.5), 0.5f);
    EXPECT_NEAR(ease(19, 0.25), 0.5f - 0.5f * std::cos(M_PI * 0.25f), 1e-6);
    EXPECT_EQ(ease(0, -0.2), 0.0f);
    EXPECT_EQ(ease(0, 1.7), 1.0f);
}

TEST(Selection, HardBrushAndFalloff) {
    test::one_frame f;
    f.add_block(5, 0.1f);
    step(f.fs, true, false);
    stroke s = make_stroke(brush_kind::grab);
    const vec3 centre(0.2f, 0.2f, 0.2f);
    select_particles(f.fs, s, centre, 0.15f, 0, false);
    ASSERT_FALSE(s.particles.empty());
    for (particle* p : s.particles) {
        const float d = length(p->position - centre);
        EXPECT_LE(d, 0.15f);
        EXPECT_NEAR(s.falloff.at(p->id), 1.0f - d / 0.15f, 0.0011f);
    }
    // Every particle within the radius was found.
    size_t inside = 0;
    for (auto& [id, p] : f.fs.particles)
        inside += length(p.position - centre) <= 0.15f ? 1 : 0;
    EXPECT_EQ(s.particles.size(), inside);

    stroke hard = make_stroke(brush_kind::grab);
    select_particles(f.fs, hard, centre, 0.15f, 0, true);
    for (particle* p : hard.particles)
        EXPECT_EQ(hard.falloff.at(p->id), 1.0f);
}

TEST(Selection, LeavesSharingAPositionKeyAreBrushedOnce) {
    // Two particles a hair apart across the middle of the root box land in different leaves whose
    // centroids give the same position key: the index finds the first leaf for both.
    test::one_frame f;
    f.add(0, vec3(0, 0, 0));
    f.add(1, vec3(1, 1, 1));
    test::one_frame probe;  // the same box, to find where the root's middle falls
    probe.add(0, vec3(0, 0, 0));
    probe.add(1, vec3(1, 1, 1));
    step(probe.fs, true, false);
    const oct_tree& root = probe.fs.tree.root();
    auto child_of = [&root](float x) { return std::floor((x - root.corner[0]) / root.half_size); };
    float middle = root.corner[0] + root.half_size;
    while (child_of(middle) < 1.0f)
        middle = std::nextafter(middle, 2.0f);
    while (child_of(std::nextafter(middle, 0.0f)) >= 1.0f)
        middle = std::nextafter(middle, 0.0f);
    particle& a = f.add(2, vec3(std::nextafter(middle, 0.0f), 0.6f, 0.6f));
    particle& b = f.add(3, vec3(middle, 0.6f, 0.6f));
    step(f.fs, true, false);
    ASSERT_NE(a.cell, b.cell);
    ASSERT_EQ(position_key(a.cell->centroid, f.fs.tree.extent()),
              position_key(b.cell->centroid, f.fs.tree.extent()));

    stroke s = make_stroke(brush_kind::grab);
    s.vector = vec3(0, 1, 0);
    s.amount = 1.0f;
    select_particles(f.fs, s, a.position, 0.1f, 0, false);
    ASSERT_EQ(s.particles.size(), 1u);  // the second leaf cannot be found, the first once
    particle* brushed = s.particles.front();
    const vec3 start = brushed->position;
    apply_stroke(f.fs, s);
    EXPECT_EQ(brushed->position, start + vec3(0, 0.01f * s.falloff.at(brushed->id), 0));
}
