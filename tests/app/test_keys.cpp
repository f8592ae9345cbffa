// The window's keys with key events as the platform sends them, whichever widget has the focus,
// and the status line under the viewport.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <utility>

#include <QDockWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "app/kavrin.h"
#include "app/shelf_area.h"
#include "app/status_line.h"
#include "dynamics/frame_set.h"
#include "view/brush.h"
#include "view/hit_run.h"
#include "view/view3d.h"
#include "window_fixture.h"

using namespace kavrin;
using kavrin::test::open_window;
using window = kavrin::kavrin;

namespace {

std::map<int, vec3> positions(const frame_set& fs) {
    std::map<int, vec3> out;
    for (const auto& [id, p] : fs.particles)
        out[id] = p.position;
    return out;
}

// Presses, drags and (unless keep_pressed) releases the left button along run.
void drag(window& w, const test::hit_run& run, bool keep_pressed = false) {
    QTest::mousePress(&w.viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(run.x0, run.y));
    for (int x = run.x0 + 2; x <= run.x0 + 24; x += 2) {
        QTest::mouseMove(&w.viewport(), QPoint(x, run.y));
        QTest::qWait(10);
    }
    if (!keep_pressed)
        QTest::mouseRelease(&w.viewport(), Qt::LeftButton, Qt::NoModifier,
                            QPoint(run.x0 + 24, run.y));
}

}  // namespace

TEST(Keys, WorkWhereverTheFocusIsExceptInTextFieldsAndHoldFramesDuringADrag) {
    open_window o;
    ASSERT_TRUE(o.wait_for_scene());
    window& w = *o.w;
    w.change_frame(50);
    // The focus on a side-panel button: the keys still reach the window. Nothing lies beyond
    // the last frame.
    QWidget* button = w.shelf().buttons.at("camera_reset");
    const std::pair<Qt::Key, int> frames[] = {{Qt::Key_Right, 51}, {Qt::Key_Left, 50},
                                              {Qt::Key_End, 99},   {Qt::Key_Right, 99},
                                              {Qt::Key_Home, 0},   {Qt::Key_Left, 0}};
    for (const auto& [key, frame] : frames) {
        QTest::keyClick(button, key);
        EXPECT_EQ(w.link().current_frame, frame) << key;
    }
    EXPECT_EQ(o.count("frame key / "), 4);

    // While the log view (a text field) has the focus the keys are its own.
    w.debug_dock().show();
    w.log_view().setFocus();
    for (Qt::Key key : {Qt::Key_Right, Qt::Key_O})
        QTest::keyClick(&w.log_view(), key);
    QTest::keyClick(&w, Qt::Key_Right);
    EXPECT_EQ(w.link().current_frame, 0);
    EXPECT_EQ(o.count("onion skin / "), 0);
    button->setFocus();

    // A held stroke or camera drag keeps its frame, its brush type and its view.
    w.link().view.drag_active = true;
    const camera_state view_before = w.viewport().camera();
    for (Qt::Key key : {Qt::Key_Right, Qt::Key_End, Qt::Key_Space, Qt::Key_3, Qt::Key_F})
        QTest::keyClick(button, key);
    EXPECT_EQ(w.link().current_frame, 0);
    EXPECT_FALSE(w.display().playing());
    EXPECT_EQ(w.tool_brush().type(), brush_kind::grab);
    EXPECT_EQ(w.viewport().camera().position, view_before.position);
    w.link().view.drag_active = false;

    for (bool playing : {true, false}) {
        QTest::keyClick(button, Qt::Key_Space);
        EXPECT_EQ(w.display().playing(), playing);
    }
    for (int i = 0; i < 5; ++i) {
        QTest::keyClick(button, Qt::Key(Qt::Key_1 + i));
        EXPECT_EQ(w.tool_brush().type(), brush_kinds.at(size_t(i)));
    }
    const float space = w.tool_brush().space();
    QTest::keyClick(button, Qt::Key_BracketRight);
    EXPECT_FLOAT_EQ(w.tool_brush().space(), space * 1.25f);
    QTest::keyClick(button, Qt::Key_BracketLeft);
    EXPECT_FLOAT_EQ(w.tool_brush().space(), space);
    EXPECT_EQ(o.count("brush size space / "), 2);

    // O and M switch their panel toggles, each with its own line.
    for (const auto& [key, name, topic] :
         {std::tuple{Qt::Key_O, "cache_onion_skin", QString("onion skin")},
          std::tuple{Qt::Key_M, "brush_mirror", QString("mirror")}})
        for (const char* state : {"on", "off"}) {
            QTest::keyClick(button, key);
            EXPECT_EQ(w.shelf().buttons.at(name)->isChecked(), state == std::string("on"));
            EXPECT_EQ(o.count(topic + " / " + state), 1);
        }
    EXPECT_EQ(w.display().onion_frames(), 0);
    EXPECT_FALSE(w.display().held_buttons().mirror);

    // F: the frame's particles in the middle of the view, seen from the same direction.
    w.change_frame(80);
    QTest::keyClick(button, Qt::Key_F);
    EXPECT_EQ(o.count("camera control / frame"), 1);
    EXPECT_EQ(w.viewport().camera().focal_vect, view_before.focal_vect);
    point_box box;
    for (const auto& [id, p] : w.scene()->frame(80).particles)
        box.add(p.position);
    EXPECT_LT(length(w.viewport().camera().centre() - (box.min + box.max) * 0.5f), 1e-3f);
}

TEST(Keys, EscTakesBackTheHeldStrokeAndRedoBringsBackWhatUndoTookBack) {
    open_window o;
    ASSERT_TRUE(o.wait_for_scene());
    window& w = *o.w;
    w.change_frame(50);
    w.tool_brush().set_space(0.12f);
    w.viewport().update();
    QTest::qWait(50);
    const test::hit_run run = test::longest_hit_run(w.viewport());
    ASSERT_GE(run.length(), 24);
    const frame_set& fs = w.scene()->frame(50);
    const auto before = positions(fs);

    drag(w, run, true);
    ASSERT_GE(w.link().view.stroke_steps, 1);
    QTest::keyClick(&w.viewport(), Qt::Key_Escape);
    EXPECT_EQ(positions(fs), before);
    EXPECT_EQ(w.scene()->history().undo_depth(), 0);
    EXPECT_FALSE(w.link().view.drag_active);
    EXPECT_EQ(o.count("stroke cancel"), 1);
    // The rest of the drag paints nothing, and the release ends no second stroke.
    QTest::mouseMove(&w.viewport(), QPoint(run.x0 + 10, run.y));
    QTest::mouseRelease(&w.viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(run.x0 + 10, run.y));
    EXPECT_EQ(o.count("stroke length"), 0);
    EXPECT_EQ(positions(fs), before);
    EXPECT_EQ(w.scene()->history().undo_depth(), 0);

    drag(w, run);
    w.status().refresh();
    EXPECT_EQ(w.status().background(), "spreading stroke");
    ASSERT_TRUE(o.wait_for_scene());
    const auto painted = positions(fs);
    ASSERT_NE(painted, before);
    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(positions(fs), before);
    w.status().refresh();
    EXPECT_EQ(w.status().background(), "reverting undo");
    for (const auto& redo : {std::pair{Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier},
                             std::pair{Qt::Key_Y, Qt::KeyboardModifiers(Qt::ControlModifier)}}) {
        QTest::keyClick(&w, redo.first, redo.second);
        EXPECT_EQ(positions(fs), painted);
        EXPECT_EQ(w.scene()->history().undo_depth(), 1);
        QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier);
        EXPECT_EQ(positions(fs), before);
    }
    EXPECT_EQ(o.count("redo"), 2);
    EXPECT_EQ(o.count("undo"), 3);
}

TEST(StatusLine, ShowsTheFrameTheBrushAndWhatTheBackgroundDoes) {
    open_window o;
    window& w = *o.w;
    w.link().generation_scale = 100;  // a scene long enough to be seen building
    w.start_scene(false);
    w.status().refresh();
    EXPECT_TRUE(w.status().background().startsWith("building "))
        << w.status().background().toStdString();
    EXPECT_TRUE(w.status().progress().isVisible());
    EXPECT_EQ(w.status().progress().maximum(), 100);
    ASSERT_TRUE(o.wait_for_scene());
    w.status().refresh();
    EXPECT_EQ(w.status().background(), "idle");
    EXPECT_FALSE(w.status().progress().isVisible());

    w.change_frame(50);
    w.shelf().choose_brush(brush_kind::converge);
    w.status().refresh();
    EXPECT_TRUE(w.status().facts().startsWith("frame 50    converge    space "));
    EXPECT_TRUE(w.status().facts().endsWith("particles 5100"));
    EXPECT_EQ(w.status().note(), "");
    w.shelf().choose_brush(brush_kind::scale);
    w.status().refresh();
    EXPECT_EQ(w.status().note(), "scale shows in display mode");
    w.shelf().buttons.at("cache_display")->setChecked(true);
    w.status().refresh();
    EXPECT_EQ(w.status().note(), "");

    QTemporaryDir folder;
    w.shelf().ask_path = [&folder](bool, const QString&) { return folder.path(); };
    w.shelf().buttons.at("cache_export")->click();
    w.status().refresh();
    EXPECT_EQ(w.status().background(), "saving 0/100");
    EXPECT_EQ(w.status().progress().maximum(), 100);
    ASSERT_TRUE(o.wait_for_scene());
}
