#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QDockWidget>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QToolButton>
#include <QWheelEvent>

#include <cmath>
#include <map>
#include <thread>

#include "app/build_info.h"
#include "app/kavrin.h"
#include "app/shelf_area.h"
#include "app/status_line.h"
#include "dynamics/frame_set.h"
#include "view/brush.h"
#include "view/hit_run.h"
#include "view/timeline.h"
#include "view/view3d.h"
#include "window_fixture.h"

using namespace kavrin;
using kavrin::test::open_window;
using window = kavrin::kavrin;

namespace {

QByteArray read_all(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

TEST(Window, StartsWithTheFountainTheBarAndTheDebugPanel) {
    open_window o;
    ASSERT_TRUE(o.started);
    window& w = *o.w;
    EXPECT_EQ(w.windowTitle(), "Kavrin - Rev.0022");
    EXPECT_TRUE(w.link().stepping);
    ASSERT_TRUE(w.scene());
    EXPECT_EQ(w.scene()->frames.size(), 100u);
    EXPECT_EQ(w.link().generation_scale, 1);

    EXPECT_GE(w.core_count(), 1);
    EXPECT_EQ(w.link().cpu_count, initial_cpu_count(w.core_count()));
    EXPECT_GE(w.link().cpu_count, 1);
    EXPECT_LE(w.link().cpu_count, 12);
    struct expected {
        const char* name;
        int minimum, maximum, value;
    };
    for (const expected& e :
         {expected{"cpu_count", 1, 12, w.link().cpu_count.load()}, expected{"show_debug", 0, 7, 0},
          expected{"on_eat", 0, 1, 0}, expected{"particle_size", 1, 100, 20}}) {
        auto* s = w.findChild<QSlider*>(e.name);
        ASSERT_TRUE(s) << e.name;
        EXPECT_EQ(s->minimum(), e.minimum);
        EXPECT_EQ(s->maximum(), e.maximum);
        EXPECT_EQ(s->value(), e.value);
    }
    auto* dock = w.findChild<QDockWidget*>(" .... debug panel ....");
    ASSERT_TRUE(dock);
    EXPECT_EQ(w.dockWidgetArea(dock), Qt::TopDockWidgetArea);
    EXPECT_FALSE(dock->isVisible());  // until the artist asks for it

    for (const char* name : {"left", "right", "start"}) {
        QPushButton* b = &w.timeline_button(name);
        EXPECT_TRUE(b->isCheckable());
        EXPECT_EQ(b->size(), QSize(38, 38));
    }
    EXPECT_TRUE(w.timeline_button("start").styleSheet().contains("timeline_start.png"));
    EXPECT_TRUE(w.timeline_button("start").styleSheet().contains("timeline_stop.png"));
    EXPECT_TRUE(w.timeline_button("left").styleSheet().contains("border-radius: 3px;"));
    EXPECT_EQ(w.shelf().parentWidget()->width(), 150);
    EXPECT_EQ(o.count("revision / 0022"), o.count("start kavrin"));
    EXPECT_GE(o.count("build date / 20"), 1);
}

TEST(Window, LogLinesEndWithCrLfAndTheFileGrowsAcrossRuns) {
    qint64 first = 0;
    QString path;
    {
        open_window o;
        path = o.w->paths().debug_txt;
    }
    first = read_all(path).size();
    {
        open_window o;
        o.w->log("a line / 1");
    }
    const QByteArray text = read_all(path);
    EXPECT_GT(text.size(), first);
    ASSERT_TRUE(text.endsWith("close kavrin\r\n"));
    for (qsizetype i = text.indexOf('\n'); i >= 0; i = text.indexOf('\n', i + 1))
        ASSERT_EQ(text[i - 1], '\r') << "line ending at byte " << i;
    EXPECT_TRUE(text.contains("a line / 1\r\n"));
}

TEST(Window, PlaybackStepsThreeFramesPerTickAndNeverShowsTheLastFrame) {
    open_window o;
    window& w = *o.w;
    w.timeline_button("start").setChecked(true);
    EXPECT_TRUE(w.display().playing());
    EXPECT_EQ(w.play_origin(), 0);
    std::vector<int> shown;
    qint64 clock = 0;
    for (int tick = 0; tick < 80; ++tick) {
        clock += 100;
        w.play_to(clock);
        shown.push_back(w.link().current_frame);
        if (w.link().current_frame == w.scene()->first_frame)
            clock = 0;  // the play clock restarted
    }
    int wraps = 0;
    for (size_t i = 0; i < shown.size(); ++i) {
        ASSERT_NE(shown[i], w.scene()->last_frame);
        const int before = i == 0 ? 0 : shown[i - 1];
        if (shown[i] == 0)
            ++wraps;
        else
            ASSERT_EQ(shown[i] - before, 3) << "tick " << i;
    }
    EXPECT_EQ(shown[31], 96);
    EXPECT_EQ(shown[32], 0);  // 99 is the last frame: wrap instead
    EXPECT_EQ(wraps, 2);
    // The timeline's marker stays on the current frame.
    EXPECT_EQ(w.strip().frame_at(w.strip().offset), w.link().current_frame);
    const int offs = o.count("timeline button / start / off");
    w.timeline_button("start").setChecked(false);
    EXPECT_EQ(o.count("timeline button / start / off"), offs + 1);
}

TEST(Window, FrameSetterMovesTheMarkerAndTheSceneEnds) {
    open_window o;
    window& w = *o.w;
    const float offset = w.strip().offset;
    w.set_frame("current", 12);
    EXPECT_EQ(w.link().current_frame, 12);
    EXPECT_FLOAT_EQ(w.strip().offset, offset + 12 * w.strip().scale);
    w.set_frame("maximum", 80);
    w.set_frame("minimum", 5);
    w.set_frame("other", 40);
    EXPECT_EQ(w.scene()->last_frame, 80);
    EXPECT_EQ(w.scene()->first_frame, 5);
    EXPECT_EQ(w.link().current_frame, 12);
}

TEST(Window, CtrlZUndoesOnlyOnAReadyFrameWithoutADrag) {
    open_window o;
    ASSERT_TRUE(o.wait_for_scene());
    window& w = *o.w;
    w.scene()->history().open_generation();  // one generation to take back
    const int undos = o.count("undo");
    QTest::keyClick(&w, Qt::Key_Z);
    EXPECT_EQ(o.count("undo"), undos);
    w.link().view.drag_active = true;
    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(o.count("undo"), undos);
    w.link().view.drag_active = false;
    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(o.count("undo"), undos + 1);
    EXPECT_EQ(w.scene()->history().undo_depth(), 0);

    const int ons = o.count("invert vector / on"), offs = o.count("invert vector / off");
    QTest::keyPress(&w, Qt::Key_Shift);
    EXPECT_TRUE(w.link().keys().at("shift"));
    QTest::keyRelease(&w, Qt::Key_Shift);
    EXPECT_FALSE(w.link().keys().at("shift"));
    EXPECT_EQ(o.count("invert vector / on"), ons + 1);
    EXPECT_EQ(o.count("invert vector / off"), offs + 1);
}

TEST(Window, SlidersWriteTheirFieldAndMarkEveryFrame) {
    open_window o;
    ASSERT_TRUE(o.wait_for_scene());
    window& w = *o.w;
    QTest::qWait(300);  // the first paints compile the shown frame
    for (auto& [number, fs] : w.scene()->frames)
        fs.touched = false;
    w.findChild<QSlider*>("particle_size")->setValue(35);
    EXPECT_EQ(w.display().particle_size(), 35);
    for (auto& [number, fs] : w.scene()->frames)
        ASSERT_TRUE(fs.touched) << number;
    w.findChild<QSlider*>("on_eat")->setValue(1);
    EXPECT_EQ(w.link().on_eat, 1);
    w.findChild<QSlider*>("cpu_count")->setValue(40);
    EXPECT_EQ(w.link().cpu_count, 12);
}

TEST(Window, TheHundredSceneShowsLitParticlesWhereTheCameraLooks) {
    open_window o;
    ASSERT_TRUE(o.wait_for_scene());
    window& w = *o.w;
    w.change_frame(99);
    const frame_set& fs = w.scene()->frame(99);
    ASSERT_EQ(fs.particles.size(), 100u);
    vec3 mean;
    for (const auto& [id, p] : fs.particles)
        mean += p.position;
    mean /= 100.0f;
    camera_state c;
    c.focal_mag = 1.0f;
    c.position = mean - c.focal_vect * c.focal_mag;
    w.viewport().set_camera(c);
    w.display().set_toggle("camera_guide", false);
    const QImage image = w.viewport().grabFramebuffer();
    const projection p = w.viewport().current_projection();
    int lit = 0, inside = 0;
    for (const auto& [id, particle] : fs.particles) {
        const QPoint at =
            project_point(p, w.viewport().width(), w.viewport().height(), particle.position)
                .toPoint();
        if (!image.rect().contains(at)) continue;
        ++inside;
        if (qGray(image.pixel(at)) > 20) ++lit;
    }
    EXPECT_GT(inside, 0);
    EXPECT_EQ(lit, inside);
    // The background, below the fountain's arc (whose top may reach the upper corners of a tall
    // viewport), is black.
    for (const QPoint corner : {QPoint(1, image.height() - 2),
                                QPoint(image.width() - 2, image.height() - 2)})
        EXPECT_EQ(image.pixel(corner), qRgb(0, 0, 0));
}

TEST(Window, ReplacingTheSceneWhileItBuildsIsSafe) {
    open_window o;
    window& w = *o.w;
    const int reports = o.count("cache size / 100");
    for (int i = 0; i < 3; ++i) {
        w.start_scene(false);  // the previous emitter's builder is still running
        EXPECT_TRUE(w.link().stepping);
        QTest::qWait(30);
    }
    EXPECT_TRUE(o.wait_for_scene());
    EXPECT_EQ(w.scene()->point_count(), 5050);
    EXPECT_EQ(o.count("cache size / 100"), reports + 3);
}

TEST(Window, ModifiersFollowTheirKeyEventsAndAreNotPolledBack) {
    open_window o;
    ASSERT_TRUE(o.wait_for_scene());
    window& w = *o.w;
    w.activateWindow();
    // Without a window manager the activation may not come; the keys reach the window anyway.
    (void)QTest::qWaitForWindowActive(&w);
    w.change_frame(50);
    w.tool_brush().set_type(brush_kind::converge);
    w.tool_brush().set_space(0.12f);
    w.viewport().update();
    QTest::qWait(50);
    const test::hit_run run = test::longest_hit_run(w.viewport());
    ASSERT_GE(run.length(), 20);
    const camera_state start = w.viewport().camera();
    auto stroke = [&] {
        QTest::mousePress(&w.viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(run.x0, run.y));
        for (int x = run.x0 + 2; x <= run.x0 + 20; x += 2) {
            QTest::mouseMove(&w.viewport(), QPoint(x, run.y));
            QTest::qWait(10);
        }
        QTest::mouseRelease(&w.viewport(), Qt::LeftButton, Qt::NoModifier,
                            QPoint(run.x0 + 20, run.y));
    };

    // Alt pressed while the mouse rests, ticks later a left press: the camera orbits.
    QTest::keyPress(&w, Qt::Key_Alt);
    QTest::qWait(300);  // three frame-timer ticks
    EXPECT_TRUE(w.link().keys().at("alt"));
    const int rotates = o.count("camera control / rotate"), strokes = o.count("stroke length");
    stroke();
    EXPECT_EQ(o.count("camera control / rotate"), rotates + 1);
    EXPECT_EQ(o.count("stroke length"), strokes);
    QTest::keyRelease(&w, Qt::Key_Alt);
    EXPECT_FALSE(w.link().keys().at("alt"));  // at once, not at some later tick

    // Ctrl pressed before the stroke relaxes for the whole stroke: particles at rest stay where
    // they are, though the stroke ran.
    w.viewport().set_camera(start);
    QTest::qWait(50);
    std::map<int, vec3> before;
    for (const auto& [id, p] : w.scene()->frame(50).particles)
        before[id] = p.position;
    QTest::keyPress(&w, Qt::Key_Control);
    QTest::qWait(300);
    const qint64 mark = QFileInfo(w.paths().debug_txt).size();
    stroke();
    QFile file(w.paths().debug_txt);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly) && file.seek(mark));
    const QByteArray line = file.readAll();
    ASSERT_TRUE(line.startsWith("stroke length / converge / ")) << line.toStdString();
    EXPECT_GE(line.split('/')[2].trimmed().toInt(), 1);
    for (const auto& [id, p] : w.scene()->frame(50).particles)
        ASSERT_EQ(p.position, before.at(id)) << id;
    EXPECT_EQ(w.tool_brush().vector(), vec3());
    QTest::keyRelease(&w, Qt::Key_Control);
    EXPECT_FALSE(w.link().keys().at("ctrl"));

    // Keys released while another program has the keyboard never arrive: none counts as held.
    QTest::keyPress(&w, Qt::Key_Shift);
    w.focus(&w, nullptr);
    EXPECT_FALSE(w.link().keys().at("shift"));
    EXPECT_EQ(o.count("focus / out"), 1);
}

TEST(Window, TheLogViewTakesANewLineAtOnceAndKeepsABoundedTail) {
    open_window o;
    ASSERT_TRUE(o.wait_for_scene());
    window& w = *o.w;
    const qint64 size_before = QFileInfo(w.paths().debug_txt).size();
    {
        // A log of two megabytes: a line must not cost a read of it.
        QFile file(w.paths().debug_txt);
        ASSERT_TRUE(file.open(QIODevice::Append));
        const QByteArray line = QByteArray(98, 'x') + "\r\n";
        for (int i = 0; i < 20000; ++i)
            file.write(line);
    }
    w.log("a fresh line / 1");
    const QTextDocument& view = *w.log_view().document();
    EXPECT_EQ(view.lastBlock().text(), "a fresh line / 1");
    for (int i = 0; i < scene_host::log_view_lines + 500; ++i)
        w.log("line / " + QString::number(i));
    EXPECT_EQ(view.blockCount(), scene_host::log_view_lines);
    EXPECT_EQ(view.lastBlock().text(),
              "line / " + QString::number(scene_host::log_view_lines + 499));
    EXPECT_EQ(view.firstBlock().text(), "line / 500");
    // A worker's line shows at the next tick.
    std::thread([&w] { w.log("from a worker / 1"); }).join();
    QTest::qWait(250);
    EXPECT_EQ(view.lastBlock().text(), "from a worker / 1");

    // Closing hides the window first and logs nothing after "close kavrin".
    w.activateWindow();
    // Without a window manager the activation may not come; the keys reach the window anyway.
    (void)QTest::qWaitForWindowActive(&w);
    w.close();
    EXPECT_FALSE(w.isVisible());
    const QByteArray text = read_all(w.paths().debug_txt);
    EXPECT_TRUE(text.endsWith("\r\nclose kavrin\r\n"));
    EXPECT_FALSE(text.mid(text.lastIndexOf("from a worker / 1")).contains("focus / out"));
    // The next windows' start would trim the log: the tests that count lines need it as it was.
    QFile::resize(w.paths().debug_txt, size_before);
}

TEST(Window, TheTimelineFitsTheSceneJumpsOnAClickAndStaysInAMinimumWindow) {
    open_window o;
    ASSERT_TRUE(o.wait_for_scene());
    window& w = *o.w;
    QWidget* strip = w.strip().viewport();
    // The fountain's 100 frames span the strip at any window width.
    for (int width : {1600, 900}) {
        w.resize(width, 700);
        QTest::qWait(100);
        ASSERT_TRUE(w.strip().redraw());
        EXPECT_EQ(w.strip().frame_at(2.0f), 0) << width;
        EXPECT_EQ(w.strip().frame_at(float(strip->width() - 3)), 99) << width;
    }
    // One click jumps, and the viewport shows that frame.
    const int x = int(w.strip().offset + 20.5f * w.strip().scale);
    const int target = w.strip().frame_at(float(x));
    ASSERT_NE(target, w.link().current_frame);
    QTest::mouseClick(strip, Qt::LeftButton, Qt::NoModifier, QPoint(x, 20));
    EXPECT_EQ(w.link().current_frame, target);
    EXPECT_EQ(w.strip().frame_at(w.strip().offset), target);

    // The window does not shrink below what shows every control, and the marker stays on the
    // strip there, also after the artist zoomed the strip and the frame moved on.
    w.resize(400, 300);
    QTest::qWait(100);
    EXPECT_GE(w.width(), w.minimumWidth());
    EXPECT_GE(w.minimumWidth(), 700);
    for (const char* name : {"left", "right", "start"}) {
        QPushButton* b = &w.timeline_button(name);
        EXPECT_TRUE(w.rect().contains(QRect(b->mapTo(&w, QPoint(0, 0)), b->size()))) << name;
    }
    w.strip().fitted = false;
    w.strip().scale = 40.0f;
    for (int f : {99, 0, 60}) {
        w.change_frame(f);
        EXPECT_GE(w.strip().offset, 0.0f) << f;
        EXPECT_LE(w.strip().offset, float(strip->width())) << f;
        EXPECT_EQ(w.strip().frame_at(w.strip().offset), f);
    }
}

TEST(Window, F12ShowsTheDebugPanelTheNextStartKeepsItAndTheDisplayPopupSetsSizes) {
    {
        open_window o;
        ASSERT_TRUE(o.wait_for_scene());
        window& w = *o.w;
        EXPECT_FALSE(w.debug_dock().isVisible());
        QTest::keyClick(w.shelf().buttons.at("camera_reset"), Qt::Key_F12);
        EXPECT_TRUE(w.debug_dock().isVisible());
        EXPECT_EQ(o.count("debug panel / on"), 1);

        // Point size and onion frames without the debug panel: the status line's popup.
        w.debug_dock().toggleViewAction()->trigger();
        EXPECT_FALSE(w.debug_dock().isVisible());
        auto* display = w.status().findChild<QToolButton*>("display_button");
        ASSERT_TRUE(display);
        QTest::mouseClick(display, Qt::LeftButton);
        auto* popup = w.findChild<QFrame*>("display_popup");
        ASSERT_TRUE(popup && popup->isVisible());
        auto* size = popup->findChild<QSpinBox*>("point_size");
        auto* onion = popup->findChild<QSpinBox*>("onion_frames");
        EXPECT_EQ(size->value(), 20);
        size->selectAll();
        QTest::keyClicks(size, "35");
        QTest::keyClick(size, Qt::Key_Return);
        for (int i = 0; i < 5; ++i)
            QTest::keyClick(onion, Qt::Key_Up);
        EXPECT_EQ(w.display().particle_size(), 35);
        EXPECT_EQ(w.findChild<QSlider*>("particle_size")->value(), 35);
        EXPECT_EQ(w.display().onion_count(), 5);  // the most the onion skin shows
        EXPECT_EQ(o.count("point size / 35"), 1);
        popup->hide();
        QTest::keyClick(w.shelf().buttons.at("camera_reset"), Qt::Key_F12);
    }
    open_window again(true);
    ASSERT_TRUE(again.started);
    EXPECT_TRUE(again.w->debug_dock().isVisible());
    EXPECT_EQ(again.w->display().onion_count(), 5);
}

TEST(Window, TheWheelZoomsTowardsThePointerAndTheMiddleButtonOrbitsPansAndDollies) {
    open_window o;
    ASSERT_TRUE(o.wait_for_scene());
    window& w = *o.w;
    w.viewport().update();
    QTest::qWait(50);
    // The point of the focal plane under the pointer stays under it while the view closes in.
    const QPoint at(w.viewport().width() / 4, w.viewport().height() / 3);
    const camera_state before = w.viewport().camera();
    const projection p0 = w.viewport().current_projection();
    const vec3 fwd = normalise(p0.centre - p0.eye);
    const QPointF centre_px =
        project_point(p0, w.viewport().width(), w.viewport().height(), before.centre());
    EXPECT_NEAR(centre_px.x(), w.viewport().width() / 2.0, 1.0);
    const int zooms = o.count("camera control / zoom in");
    QWheelEvent wheel(at, w.viewport().mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&w.viewport(), &wheel);
    EXPECT_EQ(o.count("camera control / zoom in"), zooms + 1);
    const camera_state after = w.viewport().camera();
    EXPECT_NEAR(after.focal_mag, before.focal_mag * 0.85f, 1e-4f);
    EXPECT_EQ(after.focal_vect, before.focal_vect);  // a zoom does not turn the view
    w.viewport().update();
    QTest::qWait(50);
    const projection p1 = w.viewport().current_projection();
    // The focal-plane point that was under the pointer, found from the old view's ray.
    const vec3 side = normalise(cross(fwd, p0.up)), up = cross(side, fwd);
    const float tan_v = std::tan(p0.fov * 3.14159265f / 360.0f);
    const float x = 2.0f * at.x() / w.viewport().width() - 1.0f;
    const float y = 1.0f - 2.0f * at.y() / w.viewport().height();
    const vec3 target =
        before.position + (fwd + side * (x * tan_v * p0.aspect) + up * (y * tan_v)) *
                              before.focal_mag;
    const QPointF still = project_point(p1, w.viewport().width(), w.viewport().height(), target);
    EXPECT_NEAR(still.x(), at.x(), 1.0);
    EXPECT_NEAR(still.y(), at.y(), 1.0);

    // A middle drag without Alt orbits, and paints nothing; with Shift it pans.
    const int rotates = o.count("camera control / rotate"), strokes = o.count("stroke length");
    const QPoint mid(w.viewport().width() / 2, w.viewport().height() / 2);
    QTest::mousePress(&w.viewport(), Qt::MiddleButton, Qt::NoModifier, mid);
    for (int i = 1; i <= 10; ++i)
        QTest::mouseMove(&w.viewport(), mid + QPoint(4 * i, 0));
    QTest::mouseRelease(&w.viewport(), Qt::MiddleButton, Qt::NoModifier, mid + QPoint(40, 0));
    EXPECT_EQ(o.count("camera control / rotate"), rotates + 1);
    EXPECT_EQ(o.count("stroke length"), strokes);
    const camera_state orbited = w.viewport().camera();
    EXPECT_GT(length(orbited.focal_vect - after.focal_vect), 0.1f);
    EXPECT_LT(length(orbited.centre() - after.centre()), 1e-4f);  // about the orbit centre
    EXPECT_FALSE(w.display().camera_mode());
    EXPECT_FALSE(w.link().view.drag_active);

    QTest::keyPress(&w, Qt::Key_Shift);
    QTest::mousePress(&w.viewport(), Qt::MiddleButton, Qt::ShiftModifier, mid);
    for (int i = 1; i <= 10; ++i)
        QTest::mouseMove(&w.viewport(), mid + QPoint(4 * i, 0));
    QTest::mouseRelease(&w.viewport(), Qt::MiddleButton, Qt::ShiftModifier, mid + QPoint(40, 0));
    QTest::keyRelease(&w, Qt::Key_Shift);
    const camera_state panned = w.viewport().camera();
    EXPECT_EQ(panned.focal_vect, orbited.focal_vect);
    EXPECT_GT(length(panned.centre() - orbited.centre()), 1e-3f);
}

TEST(Window, NumpadKeysTurnTheViewToFrontSideAndTopAboutTheSameCentre) {
    open_window o;
    ASSERT_TRUE(o.wait_for_scene());
    window& w = *o.w;
    QWidget* focus = w.shelf().buttons.at("camera_reset");
    const vec3 centre = w.viewport().camera().centre();
    const std::pair<Qt::KeyboardModifiers, vec3> views[] = {
        {Qt::KeypadModifier, vec3(0, 0, -1)},
        {Qt::KeypadModifier | Qt::ControlModifier, vec3(0, 0, 1)}};
    for (const auto& [modifiers, along] : views) {
        QTest::keyClick(focus, Qt::Key_1, modifiers);
        EXPECT_EQ(w.viewport().camera().focal_vect, along);
    }
    QTest::keyClick(focus, Qt::Key_3, Qt::KeypadModifier);
    EXPECT_EQ(w.viewport().camera().focal_vect, vec3(-1, 0, 0));
    QTest::keyClick(focus, Qt::Key_7, Qt::KeypadModifier);
    const camera_state top = w.viewport().camera();
    EXPECT_EQ(top.focal_vect, vec3(0, -1, 0));
    EXPECT_LT(length(top.centre() - centre), 1e-4f);
    EXPECT_EQ(o.count("camera view / "), 4);
    // The number row still chooses brush types.
    QTest::keyClick(focus, Qt::Key_3);
    EXPECT_EQ(w.tool_brush().type(), brush_kind::converge);
}

TEST(Window, ShiftTypedIntoADialogLeavesTheBrushAloneAndRemovedParticlesAreNotCounted) {
    open_window o;
    ASSERT_TRUE(o.wait_for_scene());
    window& w = *o.w;
    QDialog dialog(&w);
    auto* field = new QLineEdit(&dialog);
    dialog.show();
    const int inverts = o.count("invert vector / ");
    QTest::keyPress(field, Qt::Key_Shift);
    QTest::keyClicks(field, "A", Qt::ShiftModifier);
    QTest::keyRelease(field, Qt::Key_Shift);
    EXPECT_EQ(field->text(), "A");
    EXPECT_EQ(o.count("invert vector / "), inverts);
    EXPECT_FALSE(w.link().keys().at("shift"));
    dialog.hide();

    w.change_frame(50);
    {
        frame_set& fs = w.scene()->frame(50);
        const std::unique_lock<mutex> hold = fs.hold_particles();
        int n = 0;
        for (auto& [id, p] : fs.particles)
            if (n++ < 7) p.weight = 0.0f;
    }
    w.status().refresh();
    EXPECT_TRUE(w.status().facts().endsWith(
        "particles " + QString::number(w.scene()->frame(50).particles.size() - 7)))
        << w.status().facts().toStdString();
}
