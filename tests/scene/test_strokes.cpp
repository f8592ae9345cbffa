#include <gtest/gtest.h>

#include <set>
#include <thread>

#include <QCoreApplication>

#include "scene/emitter.h"
#include "dynamics/deform.h"
#include "dynamics/frame_step.h"
#include "fake_window.h"

using namespace kavrin;
using test::fake_window;
using test::tick_until;

namespace {

struct painted_scene : ::testing::Test {
    fake_window window;
    std::unique_ptr<emitter> e;

    void SetUp() override {
        window.generation_scale = 1;
        window.cpu_count = 2;
        e = std::make_unique<emitter>(false, &window);
        e->build();
        ASSERT_TRUE(tick_until(*e, [&] { return e->built() && idle(); }));
    }
    bool idle() { return !e->spreading() && !e->has_pending_work(); }

    // Aims the brush at the middle of frame f's particles.
    void aim(int f, float space) {
        window.current_frame = f;
        frame_set& fs = e->frame(f);
        vec3 mean;
        for (auto& [id, p] : fs.particles)
            mean += p.position;
        mean /= float(fs.particles.size());
        window.view.set_pick_point(mean);
        window.brush_state.space = space;
        window.camera_state.focal_mag = 3.0f;
        window.camera_state.brush_distance = 3.0f;
    }
    void paint(int steps) {
        for (int i = 0; i < steps; ++i) {
            window.view.busy = true;
            e->current_particle(e->live_step_inputs());
            ASSERT_FALSE(window.view.busy);
        }
    }
    // A grab stroke up the y axis on frame f reaching `time` frames either side, propagated and
    // settled.
    void settled_grab(int f, float time, int steps) {
        window.brush_state.type = brush_kind::grab;
        window.brush_state.vector = vec3(0, 1, 0);
        window.brush_state.time = time;
        aim(f, 0.5f);
        paint(steps);
        e->add_near();
        ASSERT_TRUE(tick_until(*e, [&] { return idle(); }));
    }
    std::map<int, particle_map> snapshot() {
        std::map<int, particle_map> all;
        for (auto& [n, fs] : e->frames)
            all[n] = fs.particles;
        return all;
    }
};

}  // namespace

// A stroke of one mode and key state, painted on frame 50 with time 2.
struct stroke_case {
    brush_kind mode;
    bool ctrl;
    bool shift;
};

class every_mode : public painted_scene, public ::testing::WithParamInterface<brush_kind> {
  protected:
    void stroke_once(const stroke_case& c) {
        window.set_key("ctrl", c.ctrl);
        window.set_key("shift", c.shift);
        window.brush_state.type = c.mode;
        window.brush_state.vector = vec3(0.3f, 1.0f, 0.0f);
        window.brush_state.power = 0.8f;
        window.brush_state.time = 2.0f;
        aim(50, 0.4f);
        paint(4);
        const int depth = e->history().undo_depth();
        e->add_near();
        EXPECT_EQ(e->history().undo_depth(), depth + 1) << brush_name(c.mode).data();
        ASSERT_TRUE(tick_until(*e, [&] { return idle(); }));
    }
};

bool same(const particle& a, const particle& b) {
    return a.position == b.position && a.weight == b.weight && a.scale == b.scale;
}

int changed_particles(const particle_map& now, const particle_map& before) {
    int n = 0;
    for (auto& [id, p] : now)
        if (!same(p, before.at(id))) ++n;
    return n;
}

TEST_P(every_mode, StrokesReachTheirFramesAndUndoExactly) {
    const brush_kind kind = GetParam();
    const char* mode = brush_name(kind).data();
    const auto before = snapshot();
    // Plain, then relaxed towards rest with ctrl, then reversed with shift.
    stroke_once({kind, false, false});
    const auto after_first = snapshot();
    for (int f = 48; f <= 52; ++f)
        EXPECT_GT(changed_particles(after_first.at(f), before.at(f)), 0) << mode << " frame " << f;
    stroke_once({kind, true, false});
    stroke_once({kind, false, true});
    const auto after_all = snapshot();
    for (int f : {47, 53, 0, 99})
        EXPECT_EQ(changed_particles(after_all.at(f), before.at(f)), 0) << f;
    EXPECT_EQ(e->history().undo_depth(), 3);

    for (int i = 0; i < 3; ++i) {
        e->undo();
        ASSERT_TRUE(tick_until(*e, [&] { return idle(); }));
    }
    EXPECT_EQ(e->history().undo_depth(), 0);
    EXPECT_EQ(window.count_lines("undo"), 3);
    for (auto& [f, particles] : snapshot()) {
        EXPECT_EQ(changed_particles(particles, before.at(f)), 0) << mode << " frame " << f;
        EXPECT_TRUE(e->frame(f).read_history().entries().empty()) << f;
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, every_mode,
                         ::testing::ValuesIn(brush_kinds));

TEST_F(painted_scene, NeighboursMoveByTheirEasedShare) {
    window.brush_state.type = brush_kind::grab;
    window.brush_state.vector = vec3(0, 1, 0);
    window.brush_state.time = 2.0f;
    aim(50, 0.4f);
    const auto before = snapshot();
    paint(2);
    e->add_near();
    ASSERT_TRUE(tick_until(*e, [&] { return idle(); }));
    const particle_map& painted = e->frame(50).particles;
    for (int f : {48, 49, 51, 52}) {
        const double x = (std::abs(f - 50) - 0.5) / 2.0;
        const float w = ease(19, 1.0 - x);
        int checked = 0;
        for (auto& [id, p] : e->frame(f).particles) {
            auto src = painted.find(id);
            if (src == painted.end()) continue;
            const vec3 moved = src->second.position - before.at(50).at(id).position;
            const vec3 got = p.position - before.at(f).at(id).position;
            for (int a = 0; a < 3; ++a)
                ASSERT_NEAR(got[a], moved[a] * w, 1e-6f) << f << " " << id;
            if (length(moved) > 0) ++checked;
        }
        EXPECT_GT(checked, 0) << f;
    }
}

TEST_F(painted_scene, NearListSpanAndWeights) {
    window.current_frame = 50;
    window.brush_state.time = 2.4f;
    EXPECT_EQ(e->near_list(true, window.current_frame).size(), 4u);
    window.brush_state.time = 2.5f;
    near_list_t list = e->near_list(true, window.current_frame);
    ASSERT_EQ(list.size(), 6u);
    EXPECT_EQ(std::abs(list[0].frame - 50), 1);  // nearest first
    EXPECT_EQ(std::abs(list[5].frame - 50), 3);

    window.brush_state.near_curve = 0;  // linear
    window.brush_state.time = 3.0f;
    std::map<int, float> weight;
    for (const near_entry& n : e->near_list(false, window.current_frame))
        weight[n.frame] = n.weight;
    EXPECT_FLOAT_EQ(weight.at(51), 0.833f);
    EXPECT_FLOAT_EQ(weight.at(52), 0.5f);
    EXPECT_FLOAT_EQ(weight.at(53), 0.166f);
    EXPECT_FLOAT_EQ(weight.at(47), 0.166f);

    // Weights are the progress 1 - (d - 0.5) / n truncated to whole thousandths, exactly: for the
    // linear curve, k / 1000 <= progress < (k + 1) / 1000 in exact integers.
    for (int n = 1; n < 50; ++n) {
        window.brush_state.time = float(n);
        for (const near_entry& e_n : e->near_list(false, 50)) {
            const long d = std::abs(e_n.frame - 50);
            const long k = std::lround(e_n.weight * 1000.0);
            EXPECT_LE(k * 2 * n, 1000 * (2 * n - 2 * d + 1)) << n << " " << d;
            EXPECT_GT((k + 1) * 2 * n, 1000 * (2 * n - 2 * d + 1)) << n << " " << d;
        }
    }
    window.brush_state.near_curve = 19;  // in-out sine at distances 1 and 2 of time 2
    window.brush_state.time = 2.0f;
    for (const near_entry& e_n : e->near_list(false, 50))
        EXPECT_NEAR(e_n.weight, std::abs(e_n.frame - 50) == 1 ? 0.853553f : 0.146447f, 1e-6f);
    window.brush_state.near_curve = 0;

    window.current_frame = 0;
    for (const near_entry& n : e->near_list(false, window.current_frame))
        EXPECT_GT(n.frame, 0);

    window.current_frame = 95;
    stroke_buttons right;
    right.side_right = true;
    list = e->near_list(false, window.current_frame, right);
    std::set<int> forward;
    for (const near_entry& n : list)
        if (n.frame > 95) {
            forward.insert(n.frame);
            EXPECT_EQ(n.weight, 1.0f);
        }
    EXPECT_EQ(forward, (std::set<int>{96, 97, 98, 99}));

    // Frames waiting to be saved or not yet stepped are left out of the strict list.
    e->frame(94).set_pending_save(true);
    EXPECT_EQ(e->near_list(false, window.current_frame).size(),
              e->near_list(true, window.current_frame).size() + 1);
    e->frame(94).set_pending_save(false);
}

// The window may change between sending a step and its running on a worker: the step paints
// with what it was sent, and the log records that.
TEST_F(painted_scene, AStepPaintsWithTheInputsItWasSent) {
    window.brush_state.type = brush_kind::grab;
    window.brush_state.vector = vec3(0, 1, 0);
    aim(50, 0.5f);
    const step_inputs sent = e->live_step_inputs();
    window.current_frame = 51;
    window.view.set_pick_point(vec3(100, 100, 100));  // nowhere near the particles
    window.brush_state.type = brush_kind::remove;
    window.view.busy = true;
    e->current_particle(sent);
    ASSERT_EQ(e->frame(50).read_history().entries().size(), 1u);
    EXPECT_TRUE(e->frame(51).read_history().entries().empty());
    ASSERT_FALSE(e->recorder.events().empty());
    EXPECT_EQ(e->recorder.events().back().steps, std::vector<step_inputs>{sent});
}

TEST_F(painted_scene, AStrokeWaitsForTheWorkerThatHoldsItsFrame) {
    window.brush_state.type = brush_kind::grab;
    window.brush_state.vector = vec3(0, 1, 0);
    aim(50, 0.5f);
    scene_frame& fs = e->frame(50);
    std::unique_lock<mutex> eating = fs.hold_particles();  // a background worker has the frame
    window.view.busy = true;
    std::thread stroke([&] { e->current_particle(e->live_step_inputs()); });
    QThread::msleep(50);
    EXPECT_TRUE(window.view.busy);
    EXPECT_TRUE(fs.read_history().entries().empty());
    eating.unlock();
    stroke.join();
    EXPECT_FALSE(window.view.busy);
    EXPECT_EQ(fs.read_history().entries().size(), 1u);
}

TEST_F(painted_scene, ReleaseWithoutDrawingChangesNothing) {
    window.current_frame = 50;
    window.view.set_pick_point(vec3(100, 100, 100));  // nowhere near the particles
    paint(2);
    e->add_near();
    EXPECT_EQ(e->history().undo_depth(), 0);
    EXPECT_FALSE(e->spreading());
    EXPECT_FALSE(window.panel_busy);
}

TEST_F(painted_scene, UndoRevertsTheCurrentFrameAtOnceAndOthersInTheBackground) {
    EXPECT_NO_THROW(e->undo());  // depth 0: nothing, and no log line
    EXPECT_EQ(window.count_lines("undo"), 0);

    const auto before = snapshot();
    window.brush_state.type = brush_kind::grab;
    window.brush_state.vector = vec3(0, 1, 0);
    window.brush_state.time = 2.0f;
    aim(10, 0.5f);
    paint(3);
    e->add_near();
    ASSERT_TRUE(tick_until(*e, [&] { return idle(); }));
    for (int f : {8, 9, 11, 12})
        EXPECT_EQ(e->frame(f).read_history().entries().size(), 1u) << f;

    e->note_user_activity();  // the user is active: only the current frame is reverted now
    e->undo();
    EXPECT_EQ(changed_particles(e->frame(10).particles, before.at(10)), 0);
    for (int f : {8, 9, 11, 12}) {
        ASSERT_EQ(e->frame(f).read_history().entries().size(), 1u);
        EXPECT_TRUE(e->frame(f).read_history().entries().back().undone) << f;
        EXPECT_GT(changed_particles(e->frame(f).particles, before.at(f)), 0) << f;
    }
    ASSERT_TRUE(tick_until(*e, [&] { return idle(); }));
    for (int f = 8; f <= 12; ++f)
        EXPECT_EQ(changed_particles(e->frame(f).particles, before.at(f)), 0);
}

TEST_F(painted_scene, UndoLeavesAnOlderStrokeOfTheCurrentFrame) {
    window.brush_state.type = brush_kind::grab;
    window.brush_state.vector = vec3(0, 1, 0);
    window.brush_state.time = 0.0f;
    aim(10, 0.5f);
    paint(2);
    e->add_near();
    const auto after_first = snapshot();
    aim(30, 0.5f);
    paint(2);
    e->add_near();
    window.current_frame = 10;  // undo the second stroke while looking at the first one's frame
    e->undo();
    ASSERT_TRUE(tick_until(*e, [&] { return idle(); }));
    EXPECT_EQ(changed_particles(e->frame(10).particles, after_first.at(10)), 0);
    EXPECT_EQ(changed_particles(e->frame(30).particles, after_first.at(30)), 0);
    EXPECT_EQ(e->frame(10).read_history().entries().size(), 1u);
}

TEST_F(painted_scene, TrimmingFollowsFreeMemory) {
    window.brush_state.type = brush_kind::grab;
    window.brush_state.vector = vec3(0, 1, 0);
    window.brush_state.time = 1.0f;
    for (int s = 0; s < 3; ++s) {
        aim(20, 0.5f);
        paint(1);
        e->add_near();
        ASSERT_TRUE(tick_until(*e, [&] { return idle(); }));
    }
    EXPECT_EQ(e->frame(20).read_history().entries().size(), 3u);
    window.free_memory = 4.0 * 1024 * 1024 * 1024;
    for (int i = 0; i < 5; ++i) {
        e->tick();
        e->jobs.wait();
    }
    EXPECT_EQ(e->frame(20).read_history().entries().size(), 3u);
    window.free_memory = 0.5 * 1024 * 1024 * 1024;
    for (size_t left : {2u, 1u, 0u}) {
        e->tick();
        e->jobs.wait();
        EXPECT_EQ(e->frame(20).read_history().entries().size(), left);
        EXPECT_EQ(e->frame(19).read_history().entries().size(), left);
    }
    EXPECT_EQ(e->history().undo_depth(), 3);  // trimming does not change what the counter says
}

TEST_F(painted_scene, PaintingAFrameAnUndoHasNotReachedYetKeepsTheNewStroke) {
    const auto before = snapshot();
    settled_grab(50, 2.0f, 3);
    e->set_idle_threshold(1000000);  // the user keeps working: the background stays off
    e->undo();
    ASSERT_TRUE(e->frame(51).read_history().entries().back().undone);

    // A click that draws nothing still takes the undone stroke back from its frame, and counts
    // for nothing.
    window.current_frame = 51;
    window.view.set_pick_point(vec3(100, 100, 100));
    paint(1);
    e->add_near();
    EXPECT_EQ(e->history().undo_depth(), 0);
    EXPECT_FALSE(e->spreading());
    EXPECT_EQ(changed_particles(e->frame(51).particles, before.at(51)), 0);
    EXPECT_TRUE(e->frame(51).read_history().entries().empty());

    // The same mode, then another mode, on frames that still hold the undone stroke: each is kept
    // under its own entry.
    for (brush_kind mode : {brush_kind::grab, brush_kind::remove}) {
        const int frame = mode == brush_kind::grab ? 49 : 52;
        window.brush_state.type = mode;
        aim(frame, 0.5f);
        paint(2);
        e->add_near();
        const std::deque<stroke> history = e->frame(frame).read_history().entries();
        ASSERT_EQ(history.size(), 1u) << brush_name(mode).data();
        EXPECT_EQ(history.back().mode, mode);
        EXPECT_FALSE(history.back().undone);
        EXPECT_GT(changed_particles(e->frame(frame).particles, before.at(frame)), 0)
            << brush_name(mode).data();
    }
    EXPECT_EQ(e->history().undo_depth(), 2);
    e->set_idle_threshold(emitter::default_idle_threshold);
    ASSERT_TRUE(tick_until(*e, [&] { return idle(); }));
    for (int i = 0; i < 2; ++i) {
        e->undo();
        ASSERT_TRUE(tick_until(*e, [&] { return idle(); }));
    }
    for (auto& [f, particles] : snapshot())
        EXPECT_EQ(changed_particles(particles, before.at(f)), 0) << f;
}

TEST_F(painted_scene, TrimmingTakesTheOldestKeptGenerationAndLeavesUndoneStrokes) {
    window.brush_state.type = brush_kind::grab;
    window.brush_state.vector = vec3(0, 1, 0);
    window.brush_state.time = 1.0f;
    std::map<int, particle_map> after_first;
    for (int s = 0; s < 3; ++s) {
        aim(20, 0.5f);
        paint(1);
        e->add_near();
        ASSERT_TRUE(tick_until(*e, [&] { return idle(); }));
        if (s == 0) after_first = snapshot();
    }
    e->set_idle_threshold(1000000);
    e->undo();  // the third stroke: frames 19 and 21 still wait for its revert
    auto trim_once = [&] {
        e->tick();
        e->jobs.wait();
    };
    // Low memory takes what a redo would need first, then old undo entries; a trim interrupted
    // by a drag is carried on once memory is back, and ends there.
    window.free_memory = 0.5 * 1024 * 1024 * 1024;
    trim_once();
    EXPECT_EQ(window.count_lines("redo trim / 0"), 1);
    EXPECT_EQ(e->history().redo_depth(), 0);
    window.view.drag_active = true;
    trim_once();
    EXPECT_EQ(e->frame(20).read_history().entries().size(), 2u);
    window.view.drag_active = false;
    window.free_memory = 8.0 * 1024 * 1024 * 1024;
    for (int i = 0; i < 3; ++i)
        trim_once();
    for (int f : {19, 20, 21}) {
        const std::deque<stroke> history = e->frame(f).read_history().entries();
        ASSERT_EQ(history.size(), f == 20 ? 1u : 2u) << f;  // only the first stroke went
        EXPECT_EQ(history.front().depth, 1) << f;
    }
    // Low memory again: the second stroke goes, the undone third waits for its revert.
    window.free_memory = 0.5 * 1024 * 1024 * 1024;
    for (int i = 0; i < 3; ++i)
        trim_once();
    for (int f : {19, 21}) {
        ASSERT_EQ(e->frame(f).read_history().entries().size(), 1u) << f;
        EXPECT_TRUE(e->frame(f).read_history().entries().back().undone) << f;
    }
    EXPECT_TRUE(e->frame(20).read_history().entries().empty());
    e->set_idle_threshold(emitter::default_idle_threshold);
    ASSERT_TRUE(tick_until(*e, [&] { return idle(); }));
    for (int f : {19, 20, 21})
        EXPECT_TRUE(e->frame(f).read_history().entries().empty()) << f;
    EXPECT_GT(changed_particles(e->frame(20).particles, after_first.at(20)), 0);
}

TEST_F(painted_scene, BackgroundWorkDoesNotWaitOnARestingPointer) {
    window.view.hit = true;  // the pointer rests over the current frame's particles
    fake_window other;
    other.generation_scale = 1;
    other.view.hit = true;
    emitter fresh(false, &other);
    fresh.build();
    ASSERT_TRUE(tick_until(fresh, [&] { return fresh.built(); }));

    std::set<int> written;
    window.on_write = [&written](emitter&, int f) { written.insert(f); };
    for (auto& [number, fs] : e->frames)
        window.cache_files[number] = QString("x.%1.bin").arg(number);
    e->mark_for_save();
    ASSERT_TRUE(tick_until(*e, [&] { return !e->saving(); }));
    EXPECT_EQ(written.size(), e->frames.size());
}

TEST_F(painted_scene, ASaveRightAfterAnUndoWritesTheUndoneFrames) {
    const auto before = snapshot();
    settled_grab(50, 2.0f, 3);
    e->undo();  // frames 48, 49, 51 and 52 are still to be reverted when the save starts
    window.brush_state.time = 0.0f;
    aim(30, 0.5f);
    paint(1);
    e->add_near();

    std::map<int, particle_map> written;
    window.on_write = [&written](emitter& em, int f) { written[f] = em.frame(f).particles; };
    for (auto& [number, fs] : e->frames)
        window.cache_files[number] = QString("x.%1.bin").arg(number);
    e->mark_for_save();
    e->undo();  // refused while files are written: they would hold the stroke only in part
    EXPECT_EQ(e->history().undo_depth(), 1);
    ASSERT_TRUE(tick_until(*e, [&] { return !e->saving() && idle(); }));
    for (int f = 47; f <= 53; ++f)
        EXPECT_EQ(changed_particles(written.at(f), before.at(f)), 0) << f;
}

TEST_F(painted_scene, RedoBringsBackWhatUndoTookExactly) {
    window.brush_state.type = brush_kind::converge;
    window.brush_state.time = 2.0f;
    aim(50, 0.5f);
    paint(3);
    e->add_near();
    ASSERT_TRUE(tick_until(*e, [&] { return idle(); }));
    const auto painted = snapshot();
    auto same_as_painted = [&] {
        for (auto& [f, particles] : snapshot())
            if (changed_particles(particles, painted.at(f)) != 0) return false;
        return true;
    };
    e->undo();
    ASSERT_TRUE(tick_until(*e, [&] { return idle(); }));
    e->redo();  // every reached frame was reverted: they get the stroke back
    ASSERT_TRUE(tick_until(*e, [&] { return idle(); }));
    EXPECT_TRUE(same_as_painted());
    e->undo();
    e->redo();  // before the background reverted anything
    ASSERT_TRUE(tick_until(*e, [&] { return idle(); }));
    EXPECT_TRUE(same_as_painted());
    EXPECT_EQ(window.count_lines("redo"), 2);

    // A new stroke ends what could be redone.
    e->undo();
    ASSERT_TRUE(tick_until(*e, [&] { return idle(); }));
    aim(20, 0.5f);
    paint(1);
    e->add_near();
    e->redo();
    EXPECT_EQ(window.count_lines("redo"), 2);
    EXPECT_EQ(e->history().undo_depth(), 1);
}

TEST_F(painted_scene, ARedoTheBackgroundHasNotCarriedOutYetOutlivesANewStroke) {
    settled_grab(50, 2.0f, 3);
    const auto painted = snapshot();
    e->undo();
    ASSERT_TRUE(tick_until(*e, [&] { return idle(); }));
    window.on_eat = 1;  // the redo stays due on the frames beside 50
    e->redo();
    window.current_frame = 51;
    EXPECT_FALSE(e->can_paint());  // painted now, the stroke would be overwritten by the redo
    aim(20, 0.5f);
    paint(2);
    e->add_near();
    window.on_eat = 0;
    ASSERT_TRUE(tick_until(*e, [&] { return idle(); }));
    for (int f : {48, 49, 50, 51, 52})
        EXPECT_EQ(changed_particles(e->frame(f).particles, painted.at(f)), 0) << f;
    window.current_frame = 51;
    EXPECT_TRUE(e->can_paint());
}

TEST_F(painted_scene, CancelLeavesTheFrameAsItWasAtThePress) {
    const auto before = snapshot();
    window.brush_state.type = brush_kind::remove;
    aim(50, 0.5f);
    paint(3);
    EXPECT_GT(changed_particles(e->frame(50).particles, before.at(50)), 0);
    e->cancel_stroke();
    EXPECT_EQ(changed_particles(e->frame(50).particles, before.at(50)), 0);
    EXPECT_TRUE(e->frame(50).read_history().entries().empty());
    EXPECT_EQ(e->history().undo_depth(), 0);
    e->add_near();  // the release that follows finds nothing to propagate
    EXPECT_FALSE(e->spreading());
    EXPECT_EQ(window.count_lines("stroke cancel"), 1);
}

TEST(MirrorBrush, ASymmetricCloudStaysSymmetric) {
    // Three frames of a cloud made of mirror pairs: id 2k at (x, y, z), id 2k + 1 at (-x, y, z).
    fake_window window;
    window.cpu_count = 2;
    for (int f = 0; f < 3; ++f)
        window.cache_files[f] = QString("m.%1.bin").arg(f);
    window.on_read = [](emitter& e, int f) {
        std::mt19937 r(7);
        std::uniform_real_distribution<float> u(0.01f, 1.0f);
        for (int k = 0; k < 400; ++k) {
            const vec3 p(u(r), u(r) + 0.01f * float(f), u(r));
            e.frame(f).particles.try_emplace(2 * k, 2 * k, p, 1.0f);
            e.frame(f).particles.try_emplace(2 * k + 1, 2 * k + 1, vec3(-p[0], p[1], p[2]), 1.0f);
        }
    };
    emitter e(true, &window);
    e.build();
    auto idle = [&] { return e.built() && !e.spreading() && !e.has_pending_work(); };
    ASSERT_TRUE(tick_until(e, idle));
    const particle_map original = e.frame(1).particles;
    stroke_buttons mirror;
    mirror.mirror = true;
    window.current_frame = 1;
    window.brush_state.time = 1.0f;
    window.camera_state.position = vec3(0.4f, 0.5f, 4.0f);  // off the plane: the centre is mirrored
    for (brush_kind mode : {brush_kind::grab, brush_kind::converge, brush_kind::scale}) {
        window.brush_state.type = mode;
        window.brush_state.vector = normalise(vec3(0.6f, 0.7f, 0.2f));
        window.view.set_pick_point(vec3(0.2f, 0.5f, 0.5f));
        for (int i = 0; i < 3; ++i)
            e.current_particle(e.live_step_inputs(mirror));
        e.add_near(mirror);
        ASSERT_TRUE(tick_until(e, idle));
    }
    for (int f = 0; f < 3; ++f) {
        const particle_map& ps = e.frame(f).particles;
        int moved = 0;
        for (int k = 0; k < 400; ++k) {
            const particle& a = ps.at(2 * k);
            const particle& b = ps.at(2 * k + 1);
            ASSERT_EQ(b.position, vec3(-a.position[0], a.position[1], a.position[2]))
                << f << " " << k;
            ASSERT_EQ(a.scale, b.scale);
            if (f == 1 && a.position != original.at(2 * k).position) ++moved;
        }
        if (f == 1) {
            EXPECT_GT(moved, 10);
        }
    }
    for (int i = 0; i < 3; ++i) {
        e.undo();
        ASSERT_TRUE(tick_until(e, idle));
    }
    for (const auto& [id, p] : e.frame(1).particles)
        EXPECT_TRUE(same(p, original.at(id))) << id;
}

TEST_F(painted_scene, RedoneStrokesThatNeverReachedAFrameKeepTheirPlaceThere) {
    const auto before = snapshot();
    window.brush_state.type = brush_kind::grab;
    window.brush_state.vector = vec3(0, 1, 0);
    window.brush_state.time = 2.0f;
    e->set_idle_threshold(1000000);  // the background stays off unless let in
    auto stroke_on_50 = [&] {
        aim(50, 0.5f);
        paint(2);
        e->add_near();
        ASSERT_TRUE(tick_until(*e, [&] { return !e->spreading(); }));
    };
    stroke_on_50();
    stroke_on_50();
    e->undo();  // their copies never reached frames 48 to 52: they are dropped as they are
    e->undo();
    e->set_idle_threshold(emitter::default_idle_threshold);
    ASSERT_TRUE(tick_until(*e, [&] { return idle(); }));
    e->set_idle_threshold(1000000);
    e->redo();  // queued again by the background, after a newer stroke got there first
    e->redo();
    stroke_on_50();
    e->set_idle_threshold(emitter::default_idle_threshold);
    ASSERT_TRUE(tick_until(*e, [&] { return idle(); }));
    const std::deque<stroke> history = e->frame(51).read_history().entries();
    ASSERT_EQ(history.size(), 3u);
    for (size_t i = 1; i < history.size(); ++i)
        EXPECT_LT(history[i - 1].depth, history[i].depth);
    for (int i = 0; i < 3; ++i) {
        e->undo();
        ASSERT_TRUE(tick_until(*e, [&] { return idle(); }));
    }
    for (auto& [f, particles] : snapshot())
        EXPECT_EQ(changed_particles(particles, before.at(f)), 0) << f;
}

TEST(NearList, AnEmptyCacheFrameDoesNotBlockPaintingBesideIt) {
    fake_window window;
    for (int f = 0; f < 3; ++f)
        window.cache_files[f] = QString("e.%1.bin").arg(f);
    window.on_read = [](emitter& e, int f) {
        if (f == 1) return;  // the cache holds no particles for frame 1
        for (int id = 0; id < 50; ++id)
            e.frame(f).particles.try_emplace(id, id, vec3(0.02f * id, 0.01f * f, 0.0f), 1.0f);
    };
    emitter e(true, &window);
    e.build();
    ASSERT_TRUE(tick_until(e, [&] { return e.built() && !e.has_pending_work(); }));
    window.current_frame = 0;
    window.brush_state.time = 2.0f;
    EXPECT_TRUE(e.frame(1).empty);
    EXPECT_TRUE(e.can_paint());
    ASSERT_EQ(e.near_list(false, 0).size(), 1u);
    EXPECT_EQ(e.near_list(false, 0).front().frame, 2);
}

// The questions the status line and the replay ask follow an undo left to the background, and a
// generation opened without a stroke here (a set of values, a stroke on frames this scene lacks)
// ends what redo could bring back and is itself taken back by the next undo.
TEST_F(painted_scene, PendingRevertsShowAndAGenerationOpenedElsewhereEndsRedo) {
    const auto before = snapshot();
    settled_grab(50, 2.0f, 3);
    e->set_idle_threshold(1000000);  // the background stays off: the neighbours wait
    e->undo();
    EXPECT_EQ(e->progress().what, scene_progress::activity::reverting_undo);
    EXPECT_TRUE(e->busy());
    e->set_idle_threshold(emitter::default_idle_threshold);
    ASSERT_TRUE(tick_until(*e, [&] { return !e->busy(); }));
    EXPECT_EQ(e->progress().what, scene_progress::activity::none);

    e->history().open_generation();
    EXPECT_EQ(e->history().undo_depth(), 1);
    EXPECT_EQ(e->history().redo_depth(), 0);
    const int redos = window.count_lines("redo");
    e->redo();  // nothing left to bring back
    EXPECT_EQ(window.count_lines("redo"), redos);
    e->undo();  // the opened generation, which holds nothing here
    ASSERT_TRUE(tick_until(*e, [&] { return !e->busy(); }));
    EXPECT_EQ(e->history().undo_depth(), 0);
    for (auto& [f, particles] : snapshot())
        EXPECT_EQ(changed_particles(particles, before.at(f)), 0) << f;
}
