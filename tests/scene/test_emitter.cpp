#include <gtest/gtest.h>

#include "scene/emitter.h"
#include <QCoreApplication>
#include "dynamics/frame_step.h"
#include "dynamics/octree.h"
#include "fake_window.h"

using namespace kavrin;
using test::fake_window;
using test::tick_until;

TEST(Emitter, FreshState) {
    fake_window window;
    emitter e(false, &window);
    EXPECT_TRUE(e.frames.empty());
    EXPECT_EQ(e.history().undo_depth(), 0);
    EXPECT_EQ(e.idle_threshold(), 15);
    try {
        e.frame(3);
        FAIL();
    } catch (const std::out_of_range& err) {
        EXPECT_STREQ(err.what(), "Unable to find key 3 in the scene's frames.");
    }
}

TEST(Emitter, BuildsTheHundredSceneAndReportsOnce) {
    fake_window window;
    window.generation_scale = 1;
    window.cpu_count = 2;
    emitter e(false, &window);
    e.build();
    EXPECT_EQ(e.frames.size(), 100u);
    EXPECT_EQ(e.first_frame, 0);
    EXPECT_EQ(e.last_frame, 99);
    EXPECT_EQ(e.progress().what, scene_progress::activity::building);
    EXPECT_EQ(e.progress().left(), 100);
    ASSERT_TRUE(tick_until(e, [&] { return e.built() && !e.has_pending_work(); }));
    for (int i = 0; i < 20; ++i)
        e.tick();
    EXPECT_EQ(window.count_lines("point count / 5050"), 1);
    EXPECT_EQ(window.count_lines("cache time / sec / "), 1);
    EXPECT_EQ(e.point_count(), 5050);  // frame k holds k + 1 particles
    for (auto& [number, fs] : e.frames) {
        EXPECT_TRUE(fs.initialised && fs.settled && fs.needs_step()) << number;
        EXPECT_EQ(fs.particles.size(), size_t(number + 1));
    }
    EXPECT_FALSE(window.panel_busy);

    // The fountain: particles leave the source, fly up and out, and come to rest on the floor
    // (one last sink step below y = 0).
    const particle_map& last = e.frame(99).particles;
    float far = 0.0f, high = 0.0f;
    int resting = 0;
    for (auto& [id, p] : last) {
        EXPECT_GE(p.position[1], -0.0015f);
        far = std::max(far, p.position[0] + 0.8f);
        high = std::max(high, p.position[1]);
        if (p.position[1] <= 0.0f) ++resting;
    }
    EXPECT_GT(far, 1.0f);
    EXPECT_GT(high, 0.3f);
    EXPECT_GT(resting, 10);
}

TEST(Emitter, BuildsTheTenThousandScene) {
    fake_window window;
    window.generation_scale = 100;
    window.cpu_count = 2;
    emitter e(false, &window);
    e.build();
    ASSERT_TRUE(tick_until(e, [&] { return e.built() && !e.has_pending_work(); }));
    EXPECT_EQ(window.count_lines("point count / 505000"), 1);
    EXPECT_EQ(window.count_lines("cache time / sec / "), 1);
    for (auto& [number, fs] : e.frames) {
        ASSERT_EQ(fs.particles.size(), size_t(100 * (number + 1))) << number;
        ASSERT_TRUE(fs.initialised && fs.settled) << number;
    }
    // The last frame's octree is four levels deep and holds every particle once.
    frame_set& last = e.frame(99);
    EXPECT_EQ(last.tree.depth(), 4);
    size_t placed = 0;
    std::vector<oct_tree*> nodes;
    collect(last.tree.root(), nodes);
    for (const oct_tree* n : nodes)
        placed += n->members.size();
    EXPECT_EQ(placed, 10000u);
}

TEST(Emitter, OnEatSuspendsBackgroundWork) {
    fake_window window;
    window.on_eat = 1;
    emitter e(false, &window);
    e.build();
    e.jobs.wait();  // every frame built, none stepped
    for (int i = 0; i < 40; ++i)
        e.tick();
    e.jobs.wait();
    for (auto& [number, fs] : e.frames)
        EXPECT_FALSE(fs.initialised) << number;
    window.on_eat = 0;
    EXPECT_TRUE(tick_until(e, [&] { return e.built(); }));
}

TEST(Emitter, NearestFrameIsProcessedFirst) {
    fake_window window;
    window.current_frame = 18;
    emitter e(false, &window);
    e.build();
    ASSERT_TRUE(tick_until(e, [&] { return e.built() && !e.has_pending_work(); }));
    std::vector<int> written;
    window.on_write = [&](emitter&, int frame) { written.push_back(frame); };
    window.cache_files = {{10, "a.10.bin"}, {30, "a.30.bin"}};
    e.mark_for_save();
    EXPECT_EQ(e.progress().what, scene_progress::activity::saving);
    EXPECT_EQ(e.progress().left(), 2);
    ASSERT_TRUE(tick_until(e, [&] { return !e.saving(); }));
    EXPECT_EQ(written, (std::vector<int>{10, 30}));
}

TEST(Emitter, UserActivityHoldsBackgroundWork) {
    fake_window window;
    emitter e(false, &window);
    e.build();
    e.jobs.wait();
    // Each tick counts one idle tick; activity resets the count before it reaches the threshold.
    for (int i = 0; i < 30; ++i) {
        e.note_user_activity();
        e.tick();
    }
    e.jobs.wait();
    for (auto& [number, fs] : e.frames)
        EXPECT_FALSE(fs.initialised) << number;
}

TEST(Emitter, ReplacingAnEmitterWaitsForItsWorkers) {
    fake_window window;
    window.generation_scale = 100;
    for (int round = 0; round < 3; ++round) {
        auto e = std::make_unique<emitter>(false, &window);
        e->build();
        for (int i = 0; i < 3; ++i)
            e->tick();
        e.reset();  // must not free what a worker still uses
    }
    EXPECT_EQ(window.count_lines("job error"), 0);
}
