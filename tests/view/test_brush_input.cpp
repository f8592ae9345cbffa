// Brush input on the real viewport: strokes over the "100" fountain with the jobs they send,
// the brush direction per type, the size drags, and the end of a stroke.
#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <optional>

#include <QMouseEvent>
#include <QTest>

#include "dynamics/frame_set.h"
#include "hit_run.h"
#include "live_owner.h"

using namespace kavrin;
using test::live_owner;

namespace {

// The viewport over frame 50 of the fountain, seen through the program's start camera.
struct fountain_view {
    live_owner owner;
    bool built = test::build_fountain(owner);
    view3d view{owner};

    fountain_view() {
        owner.window.viewport = &view;
        owner.window.current_frame = 50;
        view.resize(800, 500);
        view.set_camera(fountain_camera());
        view.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&view));
    }
    emitter& scene() { return *owner.scene; }
    // A move with a button held (QTest sends it straight to the widget).
    void move(int x, int y) { QTest::mouseMove(&view, QPoint(x, y)); }
    // A move with no button: QTest would move the X pointer and deliver it some time later.
    void hover(int x, int y) {
        const QPointF at(x, y);
        QMouseEvent event(QEvent::MouseMove, at, view.mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                          Qt::NoModifier);
        QCoreApplication::sendEvent(&view, &event);
    }
    // Ticks the emitter, the cursor off the frame, until the stroke has been carried to every
    // frame it reaches (or undone there) and no frame has work left.
    bool settle() {
        hover(2, 2);
        emitter& e = scene();
        return test::tick_until(e, [&] {
            return !e.spreading() && !e.background_held() && !owner.window.panel_busy &&
                   !e.has_pending_work();
        });
    }
};

}  // namespace

TEST(BrushStroke, GrabDragSendsJobsOneAtATimeAndItsChangeReachesNearFramesUntilUndone) {
    fountain_view v;
    ASSERT_TRUE(v.built);
    emitter& e = v.scene();
    brush& b = v.owner.tool_brush;
    b.set_space(0.1f);
    b.set_power(0.8f);
    b.set_time(3.0f);
    const test::hit_run run = test::longest_hit_run(v.view);
    ASSERT_GE(run.length(), 60) << "no stretch of the frame to drag over";
    std::map<int, std::map<int, vec3>> before;
    for (const auto& [number, fs] : e.frames)
        before[number] = test::positions_of(fs);

    // Slow jobs: moves while one runs must send nothing.
    std::optional<test::frame_holder> slow;
    slow.emplace(e.frame(50), 15);
    QTest::mousePress(&v.view, Qt::LeftButton, Qt::NoModifier, QPoint(run.x0, run.y));
    int x = run.x0;
    for (int i = 0; i < 28 && x + 2 <= run.x1; ++i) {
        x += 2;
        v.move(x, run.y);
        QTest::qWait(4);
    }
    // Release while a job still runs: the stroke end waits for it and counts it.
    while (!v.owner.window.view.busy && x + 1 <= run.x1)
        v.move(++x, run.y);
    ASSERT_TRUE(v.owner.window.view.busy);
    QTest::mouseRelease(&v.view, Qt::LeftButton, Qt::NoModifier, QPoint(x, run.y));
    slow.reset();

    EXPECT_FALSE(v.owner.window.view.busy);
    EXPECT_EQ(v.owner.window.view.stroke_steps, 0);
    const std::vector<vec3> jobs = v.owner.job_vectors();
    ASSERT_GE(jobs.size(), 3u);
    EXPECT_EQ(v.owner.window.count_lines("stroke length / grab / " + QString::number(jobs.size())),
              1);
    // The first ten picks only fill the mouse history; the later jobs push along screen right.
    EXPECT_EQ(jobs.front(), vec3());
    const vec3 right = v.view.camera().focal_tangent;
    EXPECT_NEAR(dot(jobs.back(), right), 1.0f, 1e-5f);
    EXPECT_GT(test::moved_most(e.frame(50), before[50]), 1e-3f);
    EXPECT_EQ(e.history().undo_depth(), 1);

    // Idle ticks carry the stroke to the frames within its time, and no further.
    ASSERT_TRUE(v.settle());
    for (int f : {47, 48, 49, 51, 52, 53})
        EXPECT_GT(test::moved_most(e.frame(f), before[f]), 1e-4f) << f;
    for (int f : {45, 46, 54, 55})
        EXPECT_EQ(test::moved_most(e.frame(f), before[f]), 0.0f) << f;

    e.undo();
    ASSERT_TRUE(v.settle());
    for (int f = 45; f <= 55; ++f)
        EXPECT_LT(test::moved_most(e.frame(f), before[f]), 1e-5f) << f;
}

TEST(BrushStroke, GrabKeepsItsVectorForTenPicksThenFollowsTheMouseTenPicksBehind) {
    fountain_view v;
    ASSERT_TRUE(v.built);
    brush& b = v.owner.tool_brush;
    const test::hit_run run = test::longest_hit_run(v.view);
    ASSERT_GE(run.length(), 30);
    const vec3 marker(0.0f, 0.0f, 1.0f);
    b.set_vector(marker);
    const vec3 right = v.view.camera().focal_tangent;

    // Hovering picks too: ten moves to the right leave the vector alone.
    int x = run.x0;
    for (int i = 1; i <= 10; ++i) {
        v.hover(x += 2, run.y);
        ASSERT_TRUE(v.owner.window.view.hit) << x;
        EXPECT_EQ(b.vector(), marker) << i;
    }
    v.hover(x += 2, run.y);
    EXPECT_NEAR(dot(b.vector(), right), 1.0f, 1e-5f);

    // Turning back: the newest pick is compared with the one ten picks earlier, so the
    // vector points right for four more moves, vanishes on the fifth and turns on the sixth.
    for (int k = 1; k <= 6; ++k) {
        v.hover(x -= 2, run.y);
        ASSERT_TRUE(v.owner.window.view.hit);
        const float along = dot(b.vector(), right);
        if (k < 5)
            EXPECT_NEAR(along, 1.0f, 1e-5f) << k;
        else if (k == 5)
            EXPECT_EQ(b.vector(), vec3());
        else
            EXPECT_NEAR(along, -1.0f, 1e-5f);
    }
    // A miss adds nothing to the history.
    const size_t kept = b.mouse_history.size();
    v.hover(2, 2);
    EXPECT_FALSE(v.owner.window.view.hit);
    EXPECT_EQ(b.mouse_history.size(), kept);
}

TEST(BrushStroke, HeldCtrlSendsZeroVectors) {
    fountain_view v;
    ASSERT_TRUE(v.built);
    brush& b = v.owner.tool_brush;
    const test::hit_run run = test::longest_hit_run(v.view);
    ASSERT_GE(run.length(), 40);
    // A history long enough that grab would otherwise point somewhere at once.
    for (int i = 0; i < 12; ++i)
        b.mouse_history.push_back(QPointF(run.x0 - 100 + i, run.y));
    v.owner.set_key("ctrl", true);
    QTest::mousePress(&v.view, Qt::LeftButton, Qt::ControlModifier, QPoint(run.x0, run.y));
    for (int x = run.x0 + 2; x <= run.x0 + 40; x += 2) {
        v.move(x, run.y);
        QTest::qWait(2);
    }
    QTest::mouseRelease(&v.view, Qt::LeftButton, Qt::ControlModifier, QPoint(run.x0 + 40, run.y));
    const std::vector<vec3> jobs = v.owner.job_vectors();
    ASSERT_FALSE(jobs.empty());
    for (const vec3& sent : jobs)
        EXPECT_EQ(sent, vec3());

    // Pressing or letting go of Ctrl outside a stroke updates the vector at once.
    b.set_type(brush_kind::converge);
    b.set_vector(vec3(1.0f, 0.0f, 0.0f));
    v.view.keys_changed();
    EXPECT_EQ(b.vector(), vec3());
    v.owner.set_key("ctrl", false);
    b.set_vector(vec3(1.0f, 0.0f, 0.0f));
    v.view.keys_changed();
    EXPECT_EQ(b.vector(), vec3(1.0f, 0.0f, 0.0f));  // converge keeps its vector
}

TEST(BrushVector, NormalFollowsTheFieldAndKeepsTheLastNormalWhereThereIsNone) {
    test::fake_window window;
    emitter e(false, &window);
    frame_set fs(0, &e);
    fs.grid.set_cell_size(1.0f);
    const cell_key origin = make_key(0, 0, 0);
    fs.grid.set_cell(origin, vec3(0.5f, 0.5f, 0.5f), vec3(0.0f, 2.0f, 0.0f));
    brush b(nullptr);
    b.set_type(brush_kind::normal);
    vector_input in;
    in.frame = &fs;

    in.pick_point = vec3(0.5f, 0.6f, 0.5f);
    b.update_vector(in);
    EXPECT_EQ(b.vector(), vec3(0.0f, 1.0f, 0.0f));  // unit length
    EXPECT_EQ(b.last_vector, vec3(0.0f, 1.0f, 0.0f));

    fs.grid.set_cell(origin, vec3(0.5f, 0.5f, 0.5f), vec3(3.0f, 0.0f, 0.0f));
    b.set_vector(vec3(0.0f, 0.0f, 9.0f));
    in.pick_point = vec3(10.0f, 10.0f, 10.0f);  // no cell near
    b.update_vector(in);
    EXPECT_EQ(b.vector(), vec3(0.0f, 1.0f, 0.0f));

    // Near enough to count, too far to weigh: no direction, and no NaN either.
    in.pick_point = vec3(1.99f, 1.99f, 1.99f);
    b.update_vector(in);
    EXPECT_EQ(b.vector(), vec3(0.0f, 1.0f, 0.0f));

    // A worker refreshing the fields: this move keeps the last normal.
    in.pick_point = vec3(0.5f, 0.5f, 0.6f);
    {
        const std::unique_lock<mutex> hold = fs.grid.hold();
        b.update_vector(in);
    }
    EXPECT_EQ(b.vector(), vec3(0.0f, 1.0f, 0.0f));
    b.update_vector(in);
    EXPECT_EQ(b.vector(), vec3(1.0f, 0.0f, 0.0f));

    in.ctrl = true;
    b.update_vector(in);
    EXPECT_EQ(b.vector(), vec3());
    EXPECT_EQ(b.last_vector, vec3(1.0f, 0.0f, 0.0f));
    EXPECT_TRUE(b.mouse_history.empty());  // only grab records the mouse
}

TEST(BrushStroke, SizeDragsStayWithinTheirBoundsAndLogTheSpace) {
    fountain_view v;
    ASSERT_TRUE(v.built);
    brush& b = v.owner.tool_brush;
    const float half_focal = 0.5f * v.view.camera().focal_mag;
    b.set_space(0.2f);
    b.set_power(0.5f);

    QTest::mousePress(&v.view, Qt::MiddleButton, Qt::NoModifier, QPoint(100, 100));
    v.move(200, 100);
    EXPECT_NEAR(b.space(), 0.3f, 1e-6f);  // 0.5 % of the value per pixel
    v.move(200, 300);                     // vertical motion counts for nothing
    EXPECT_NEAR(b.space(), 0.3f, 1e-6f);
    int x = 200;
    for (int i = 0; i < 20; ++i) {
        v.move(x += 100, 100);
        EXPECT_LE(b.space(), half_focal);
    }
    EXPECT_EQ(b.space(), half_focal);
    for (int i = 0; i < 10; ++i) {
        v.move(x -= 150, 100);
        EXPECT_GE(b.space(), 0.01f);
    }
    EXPECT_EQ(b.space(), 0.01f);
    QTest::mouseRelease(&v.view, Qt::MiddleButton, Qt::NoModifier, QPoint(x, 100));
    EXPECT_EQ(v.owner.window.count_lines("brush size space / 0.01"), 1);
    EXPECT_FALSE(v.owner.window.view.drag_active);

    QTest::mousePress(&v.view, Qt::RightButton, Qt::NoModifier, QPoint(100, 100));
    x = 100;
    for (int i = 0; i < 10; ++i) {
        v.move(x += 100, 100);
        EXPECT_LE(b.power(), 1.0f);
    }
    EXPECT_EQ(b.power(), 1.0f);
    for (int i = 0; i < 10; ++i) {
        v.move(x -= 150, 100);
        EXPECT_GE(b.power(), 0.01f);
    }
    EXPECT_EQ(b.power(), 0.01f);
    QTest::mouseRelease(&v.view, Qt::RightButton, Qt::NoModifier, QPoint(x, 100));
    EXPECT_EQ(v.owner.window.count_lines("brush size"), 1);  // only the middle button logs
}

TEST(BrushStroke, ReleaseAfterTheFrameWentAwayStillEndsTheDrag) {
    fountain_view v;
    ASSERT_TRUE(v.built);
    const test::hit_run run = test::longest_hit_run(v.view);
    ASSERT_GE(run.length(), 30);
    {
        const test::frame_holder slow(v.scene().frame(50), 30);
        QTest::mousePress(&v.view, Qt::LeftButton, Qt::NoModifier, QPoint(run.x0, run.y));
        for (int x = run.x0 + 2; x <= run.x0 + 24; x += 2)
            v.move(x, run.y);
        EXPECT_TRUE(v.owner.window.view.drag_active);
        // Stepping goes off (the side panel replaces the scene) before the button comes up.
        v.owner.window.stepping = false;
        QTest::mouseRelease(&v.view, Qt::LeftButton, Qt::NoModifier, QPoint(run.x0 + 24, run.y));
    }
    EXPECT_FALSE(v.owner.window.view.drag_active);
    EXPECT_FALSE(v.owner.window.view.busy);
    EXPECT_EQ(v.owner.window.view.stroke_steps, 0);
    EXPECT_EQ(v.scene().history().undo_depth(), 0);  // nothing propagated from a frame no longer shown

    // Back on, a new stroke starts clean.
    v.owner.window.stepping = true;
    v.owner.forget_jobs();
    QTest::mousePress(&v.view, Qt::LeftButton, Qt::NoModifier, QPoint(run.x0, run.y));
    v.move(run.x0 + 2, run.y);
    QTest::mouseRelease(&v.view, Qt::LeftButton, Qt::NoModifier, QPoint(run.x0 + 2, run.y));
    EXPECT_EQ(v.owner.window.count_lines("stroke length / grab / " +
                                         QString::number(v.owner.job_vectors().size())),
              1);
}
