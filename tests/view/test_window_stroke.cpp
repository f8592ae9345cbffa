// A stroke inside the main window, from the mouse to the neighbouring frames and back with
// Ctrl+Z; a mirrored stroke and the onion skin. With KAVRIN_PICTURES=folder it also leaves
// pictures of the window mid-stroke, of the timeline after the stroke has spread, of a mirrored
// stroke, of the onion skin and of the status line, for the screenshot script.
#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include <QComboBox>
#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QEasingCurve>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include "app/autosave.h"
#include "app/kavrin.h"
#include "app/shelf_area.h"
#include "app/status_line.h"
#include "dynamics/frame_set.h"
#include "view/brush.h"
#include "view/camera.h"
#include "view/hit_run.h"
#include "view/timeline.h"
#include "view/view3d.h"

using namespace kavrin;
using window = kavrin::kavrin;

namespace {

// A started window on its start-up scene ("100"), from the default settings.
struct stroke_window {
    qint64 log_start = 0;
    window* w = nullptr;
    bool started = false;

    stroke_window() {
        const QString resource = QCoreApplication::applicationDirPath() + "/resource/";
        QFile::remove(resource + "tool.ini");
        remove_autosave(resource);
        log_start = QFileInfo(resource + "debug.txt").size();
        w = new window;
        started = w->startup();
        // Scrubbing reaches the window through this signal.
        QObject::connect(&w->strip(), &timeline::frame_change, w, &window::change_frame,
                         Qt::UniqueConnection);
    }
    ~stroke_window() {
        w->mark_saved();  // a test's strokes are not the artist's: closing asks nothing
        w->close();
        delete w;
    }
    // Turns the event loop (the window's timer ticks the scene) until nothing is left to do.
    bool wait_for_quiet() {
        for (int i = 0; i < 600; ++i) {
            emitter* e = w->scene();
            if (e && e->built() && !e->spreading() && !e->background_held() &&
                !w->link().panel_busy && !e->has_pending_work())
                return true;
            QTest::qWait(50);
        }
        return false;
    }
    QStringList lines() const {
        QFile file(w->paths().debug_txt);
        QStringList out;
        if (!file.open(QIODevice::ReadOnly) || !file.seek(log_start)) return out;
        for (const QByteArray& line : file.readAll().split('\n'))
            out << QString::fromUtf8(line).trimmed();
        return out;
    }
    // Once the start-up scene is quiet: the frame shown and a grab brush of the given space,
    // power 0.8, reaching three frames. False when the window did not start or stay quiet.
    bool grab_on(int frame, float space) {
        if (!started || !wait_for_quiet()) return false;
        w->change_frame(frame);
        brush& b = w->tool_brush();
        b.set_type(brush_kind::grab);
        b.set_space(space);
        b.set_power(0.8f);
        b.set_time(3.0f);
        return true;
    }
    void hover(const QPointF& at) {
        QMouseEvent event(QEvent::MouseMove, at, w->viewport().mapToGlobal(at), Qt::NoButton,
                          Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&w->viewport(), &event);
    }
};

std::map<int, std::map<int, vec3>> all_positions(const emitter& e) {
    std::map<int, std::map<int, vec3>> out;
    for (const auto& [number, fs] : e.frames)
        for (const auto& [id, p] : fs.particles)
            out[number][id] = p.position;
    return out;
}

float moved_most(const frame_set& fs, const std::map<int, vec3>& before) {
    float most = 0.0f;
    for (const auto& [id, p] : fs.particles) {
        auto it = before.find(id);
        if (it != before.end()) most = std::max(most, length(p.position - it->second));
    }
    return most;
}

// The strip is 48 pixels high: its pictures are doubled, pixel for pixel, to be readable.
QImage doubled(const QImage& image) {
    return image.scaled(image.size() * 2, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

void save_picture(const QImage& image, const char* name) {
    const QString folder = qEnvironmentVariable("KAVRIN_PICTURES");
    if (folder.isEmpty()) return;
    EXPECT_TRUE(image.save(folder + "/" + name)) << name;
}

}  // namespace

TEST(WindowStroke, DragSpreadsToNearFramesAndCtrlZTakesItBack) {
    stroke_window o;
    ASSERT_TRUE(o.grab_on(50, 0.12f));
    window& w = *o.w;
    emitter& e = *w.scene();
    w.viewport().update();
    QTest::qWait(50);
    const test::hit_run run = test::longest_hit_run(w.viewport());
    ASSERT_GE(run.x1 - run.x0, 60);
    const auto before = all_positions(e);

    // Right along the run, then up and to the right, so the grab's direction shows on screen.
    QTest::mousePress(&w.viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(run.x0, run.y));
    int x = run.x0;
    for (int i = 0; i < 30 && x + 2 <= run.x1; ++i) {
        QTest::mouseMove(&w.viewport(), QPoint(x += 2, run.y));
        QTest::qWait(5);
    }
    // The picture while the button is still down: cursor, selection heat and direction.
    QTest::qWait(100);
    w.viewport().update();
    save_picture(w.grab().toImage(), "window_stroke.png");
    EXPECT_TRUE(w.link().view.drag_active);
    QTest::mouseRelease(&w.viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(x, run.y));
    // The cursor still over the frame holds the background work back: the reached frames wait.
    w.display().redraw_timeline();
    save_picture(doubled(w.strip().grab().toImage()), "timeline_waiting.png");

    int steps = -1;
    for (const QString& line : o.lines())
        if (line.startsWith("stroke length / grab / ")) steps = line.section(" / ", 2).toInt();
    EXPECT_GE(steps, 1);
    EXPECT_GT(moved_most(e.frame(50), before.at(50)), 1e-3f);

    // Off the frame the window's idle ticks carry the stroke to the frames within its time.
    o.hover(QPointF(2, 2));
    ASSERT_TRUE(o.wait_for_quiet());
    for (int f : {47, 48, 49, 51, 52, 53})
        EXPECT_GT(moved_most(e.frame(f), before.at(f)), 1e-4f) << f;
    for (int f : {45, 46, 54, 55})
        EXPECT_EQ(moved_most(e.frame(f), before.at(f)), 0.0f) << f;
    w.display().redraw_timeline();
    QTest::qWait(50);
    save_picture(w.grab().toImage(), "window_after_stroke.png");
    save_picture(doubled(w.strip().grab().toImage()), "timeline_bands.png");

    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier);
    ASSERT_TRUE(o.wait_for_quiet());
    EXPECT_EQ(e.history().undo_depth(), 0);
    for (int f = 45; f <= 55; ++f)
        EXPECT_LT(moved_most(e.frame(f), before.at(f)), 1e-5f) << f;
}

TEST(WindowStroke, MirrorStrokeBendsBothSidesAndTheOnionSkinShowsTheNeighbours) {
    stroke_window o;
    ASSERT_TRUE(o.grab_on(90, 0.1f));
    window& w = *o.w;
    emitter& e = *w.scene();
    QTest::keyClick(&w, Qt::Key_M);
    ASSERT_TRUE(w.display().held_buttons().mirror);
    w.viewport().update();
    QTest::qWait(50);

    // A pick on the particle nearest x = 0.45, on the right leg of the arc.
    const frame_set& fs = e.frame(90);
    const particle* right = nullptr;
    for (const auto& [id, p] : fs.particles)
        if (!right || std::abs(p.position[0] - 0.45f) < std::abs(right->position[0] - 0.45f))
            right = &p;
    const QPoint centre = project_point(w.viewport().current_projection(), w.viewport().width(),
                                        w.viewport().height(), right->position)
                              .toPoint();
    // Boxes around lone particles are small: the nearest pixel that hits.
    QPoint at;
    bool hit = false;
    for (int r = 0; r < 6 && !hit; ++r)
        for (int dx = -r; dx <= r && !hit; ++dx)
            for (int dy = -r; dy <= r && !hit; ++dy)
                hit = w.viewport().pick(at = centre + QPoint(dx, dy));
    ASSERT_TRUE(hit);
    const auto before = all_positions(e);

    // Up and to the right: the mirrored brush pulls the left leg up and to the left.
    QTest::mousePress(&w.viewport(), Qt::LeftButton, Qt::NoModifier, at);
    for (int i = 1; i <= 24; ++i) {
        QTest::mouseMove(&w.viewport(), at + QPoint(i, -2 * i));
        QTest::qWait(5);
    }
    QTest::qWait(100);
    w.viewport().update();
    save_picture(w.grab().toImage(), "window_mirror_stroke.png");
    QTest::mouseRelease(&w.viewport(), Qt::LeftButton, Qt::NoModifier, at + QPoint(24, -48));
    float left_moved = 0.0f, right_moved = 0.0f;
    for (const auto& [id, p] : fs.particles) {
        const float moved = length(p.position - before.at(90).at(id));
        (before.at(90).at(id)[0] < 0.0f ? left_moved : right_moved) += moved;
    }
    EXPECT_GT(right_moved, 1e-3f);
    EXPECT_GT(left_moved, 1e-3f);

    // Once spread, the onion skin shows the frames around in their tints behind frame 90.
    o.hover(QPointF(2, 2));
    ASSERT_TRUE(o.wait_for_quiet());
    QTest::keyClick(&w, Qt::Key_O);
    QTest::keyClick(&w, Qt::Key_F);  // closer: the frame's particles fill the view
    QImage image;
    for (int paint = 0; paint < 5; ++paint)
        image = w.viewport().grabFramebuffer();
    int cool = 0, warm = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = image.pixel(x, y);
            cool += qBlue(c) > qRed(c) + 40 ? 1 : 0;
            warm += qRed(c) > qBlue(c) + 40 && qGreen(c) > qBlue(c) ? 1 : 0;
        }
    EXPECT_GT(cool, 50);
    EXPECT_GT(warm, 50);
    save_picture(w.grab().toImage(), "window_onion_skin.png");

    // The status line while the "10000" scene builds, with the timeline under it.
    w.mark_saved();
    w.shelf().buttons.at("demo_10000")->click();
    for (int i = 0; i < 400 && w.scene()->progress().left() > 70; ++i)
        QTest::qWait(10);
    w.status().refresh();
    EXPECT_TRUE(w.status().background().startsWith("building "))
        << w.status().background().toStdString();
    const status_line& line = w.status();
    QWidget* column = line.parentWidget();
    save_picture(
        doubled(column->grab(QRect(0, line.y(), column->width(), column->height() - line.y()))
                    .toImage()),
        "status_line.png");
    ASSERT_TRUE(o.wait_for_quiet());

    // The message area with a result, and the display popup opened from the status line.
    w.tell("Saved 100 frames to /shots/fountain");
    auto* display = w.status().findChild<QToolButton*>("display_button");
    ASSERT_TRUE(display);
    QTest::mouseClick(display, Qt::LeftButton);
    auto* popup = w.findChild<QFrame*>("display_popup");
    ASSERT_TRUE(popup && popup->isVisible());
    save_picture(doubled(popup->grab().toImage()), "display_popup.png");
    popup->hide();
    save_picture(
        doubled(column->grab(QRect(0, line.y(), column->width(), column->height() - line.y()))
                    .toImage()),
        "status_message.png");
}

TEST(WindowStroke, TheRingAndThePanelFieldsSetTheBrushAndAStrokeRecordsTheFalloff) {
    stroke_window o;
    ASSERT_TRUE(o.grab_on(50, 0.08f));
    window& w = *o.w;
    brush& b = w.tool_brush();
    w.viewport().update();
    QTest::qWait(50);
    const test::hit_run run = test::longest_hit_run(w.viewport());
    ASSERT_GE(run.length(), 20);
    const QPoint over(run.x0 + run.length() / 2, run.y);
    // Moves reach the viewport at once, as the pointer's do, not later through the X server.
    o.hover(over);

    // R: the pointer starts on the ring; moving it out grows the brush, a left click keeps it.
    QTest::keyClick(&w, Qt::Key_R);
    ASSERT_EQ(w.viewport().ring_open(), view3d::ring::size);
    const float radius =
        pixels_for_space(w.viewport().current_projection(), w.viewport().height(), 0.08f);
    o.hover(over + QPoint(int(radius), 0));
    EXPECT_NEAR(b.space(), 0.16f, 0.01f);
    const QImage ring = w.viewport().grabFramebuffer();
    // The ring passes under the pointer, in white.
    EXPECT_GT(qGray(ring.pixel(over + QPoint(int(radius), 0))), 150);
    save_picture(w.grab().toImage(), "brush_ring.png");
    QTest::mouseClick(&w.viewport(), Qt::LeftButton, Qt::NoModifier, over + QPoint(int(radius), 0));
    EXPECT_EQ(w.viewport().ring_open(), view3d::ring::none);
    EXPECT_EQ(w.scene()->recorder.events().size(), 0u);  // the click painted nothing
    const float kept = b.space();
    EXPECT_TRUE(o.lines().contains("brush size space / " + QString::number(kept, 'g', 6)));

    // Shift+R: strength by the distance from the centre; Esc takes it back.
    o.hover(over);
    QTest::keyClick(&w, Qt::Key_R, Qt::ShiftModifier);
    ASSERT_EQ(w.viewport().ring_open(), view3d::ring::strength);
    o.hover(over + QPoint(int(-0.8f * view3d::strength_ring_pixels + 50), 0));
    EXPECT_NEAR(b.power(), 0.25f, 0.01f);
    QTest::keyClick(&w, Qt::Key_Escape);
    EXPECT_EQ(w.viewport().ring_open(), view3d::ring::none);
    EXPECT_FLOAT_EQ(b.power(), 0.8f);
    EXPECT_TRUE(o.lines().contains("brush ring / cancel"));

    // The panel's fields show the values and set them.
    auto* space = w.shelf().findChild<QDoubleSpinBox*>("brush_space");
    auto* power = w.shelf().findChild<QDoubleSpinBox*>("brush_power");
    auto* falloff = w.shelf().findChild<QComboBox*>("brush_falloff");
    ASSERT_TRUE(space && power && falloff);
    QTest::qWait(300);
    EXPECT_NEAR(space->value(), kept, 0.001);
    power->setFocus();
    power->selectAll();
    QTest::keyClicks(power, "0.3");
    QTest::keyClick(power, Qt::Key_Return);
    EXPECT_FLOAT_EQ(b.power(), 0.3f);
    EXPECT_TRUE(o.lines().contains("brush power / 0.3"));
    falloff->setFocus();
    QTest::keyClick(falloff, Qt::Key_Down);  // smooth to linear
    EXPECT_EQ(b.select_curve(), int(QEasingCurve::Linear));
    EXPECT_TRUE(o.lines().contains("brush falloff / linear"));
    save_picture(doubled(w.shelf().findChild<QWidget*>("brush_fields")->grab().toImage()),
                 "brush_fields.png");
    w.viewport().setFocus();

    // A stroke then records the falloff chosen.
    QTest::mousePress(&w.viewport(), Qt::LeftButton, Qt::NoModifier, over);
    for (int x = over.x() + 2; x <= over.x() + 10; x += 2) {
        QTest::mouseMove(&w.viewport(), QPoint(x, run.y));
        QTest::qWait(15);
    }
    QTest::mouseRelease(&w.viewport(), Qt::LeftButton, Qt::NoModifier,
                        QPoint(over.x() + 10, run.y));
    const auto events = w.scene()->recorder.events();
    ASSERT_FALSE(events.empty());
    ASSERT_FALSE(events.back().steps.empty());
    EXPECT_EQ(events.back().steps.front().brush.select_curve, int(QEasingCurve::Linear));
    EXPECT_FLOAT_EQ(events.back().steps.front().brush.power, 0.3f);
}

TEST(WindowStroke, GrabOffTheSurfaceMovesParticlesIntoSpace) {
    stroke_window o;
    ASSERT_TRUE(o.grab_on(50, 0.1f));
    window& w = *o.w;
    w.viewport().update();
    QTest::qWait(50);
    const test::hit_run run = test::longest_hit_run(w.viewport());
    ASSERT_GE(run.length(), 20);
    // Empty space to the right of the run, as far as the drag goes.
    const int out = run.x1 + 100;
    ASSERT_LT(out, w.viewport().width());
    for (int x = run.x1 + 20; x <= out; x += 10)
        ASSERT_FALSE(w.viewport().pick(QPointF(x, run.y))) << x;

    // From near the rightmost particle on the row, faster than the particles follow: the
    // pointer runs ahead of them, beyond the frame's boxes.
    const projection start = w.viewport().current_projection();
    float edge = 0.0f;
    for (const auto& [id, particle] : w.scene()->frame(50).particles) {
        const QPointF at =
            project_point(start, w.viewport().width(), w.viewport().height(), particle.position);
        if (std::abs(at.y() - run.y) < 6) edge = std::max(edge, float(at.x()));
    }
    const int x0 = int(edge) - 30;
    QTest::mousePress(&w.viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(x0, run.y));
    for (int x = x0 + 8; x <= out; x += 8) {
        QTest::mouseMove(&w.viewport(), QPoint(x, run.y));
        for (int i = 0; i < 100 && w.link().view.busy; ++i)
            QTest::qWait(2);
    }
    QTest::mouseRelease(&w.viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(out, run.y));
    // The pointer left the particles and the boxes that picks hit; they followed it into the
    // space beyond, where picks found nothing before.
    const projection p = w.viewport().current_projection();
    int beyond = 0;
    for (const auto& [id, particle] : w.scene()->frame(50).particles) {
        const QPointF at =
            project_point(p, w.viewport().width(), w.viewport().height(), particle.position);
        if (at.x() > run.x1 + 30 && std::abs(at.y() - run.y) < 20) ++beyond;
    }
    EXPECT_GT(beyond, 0);
}

TEST(WindowStroke, AOneParticleFrameShowsTheBrushCursor) {
    stroke_window o;
    ASSERT_TRUE(o.grab_on(0, 0.1f));
    window& w = *o.w;
    const frame_set& fs = w.scene()->frame(0);
    ASSERT_EQ(fs.particles.size(), 1u);
    w.viewport().update();
    QTest::qWait(50);
    const QImage without = w.viewport().grabFramebuffer();
    const QPoint at = project_point(w.viewport().current_projection(), w.viewport().width(),
                                    w.viewport().height(), fs.particles.begin()->second.position)
                          .toPoint();
    o.hover(at);
    EXPECT_TRUE(w.link().view.hit);
    EXPECT_NE(w.viewport().grabFramebuffer().pixel(at + QPoint(3, 3)),
              without.pixel(at + QPoint(3, 3)));
}
