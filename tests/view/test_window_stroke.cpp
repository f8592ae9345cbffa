// A stroke inside the main window, from the mouse to the neighbouring frames and back with
// Ctrl+Z. With KAVRIN_PICTURES=folder it also leaves pictures of the window mid-stroke and of the
// timeline after the stroke has spread, for the screenshot script.
#include <gtest/gtest.h>

#include <map>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QMouseEvent>
#include <QPainter>
#include <QTest>

#include "app/kavrin.h"
#include "core/frame_set.h"
#include "view/brush.h"
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
        log_start = QFileInfo(resource + "debug.txt").size();
        w = new window;
        started = w->startup();
        // Scrubbing reaches the window through this signal.
        QObject::connect(w->strip, &timeline::frame_change, w, &window::change_frame,
                         Qt::UniqueConnection);
    }
    ~stroke_window() {
        w->close();
        delete w;
    }
    // Turns the event loop (the window's timer ticks the scene) until nothing is left to do.
    bool wait_for_quiet() {
        for (int i = 0; i < 600; ++i) {
            emitter* e = w->scene.get();
            if (e && e->frames_to_build == -1 && !e->near_running && !e->undoing &&
                !w->panel_busy && !e->has_pending_work())
                return true;
            QTest::qWait(50);
        }
        return false;
    }
    QStringList lines() const {
        QFile file(w->debug_txt);
        QStringList out;
        if (!file.open(QIODevice::ReadOnly) || !file.seek(log_start)) return out;
        for (const QByteArray& line : file.readAll().split('\n'))
            out << QString::fromUtf8(line).trimmed();
        return out;
    }
    void hover(const QPointF& at) {
        QMouseEvent event(QEvent::MouseMove, at, w->viewport->mapToGlobal(at), Qt::NoButton,
                          Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(w->viewport, &event);
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
    ASSERT_TRUE(o.started);
    ASSERT_TRUE(o.wait_for_quiet());
    window& w = *o.w;
    emitter& e = *w.scene;
    w.change_frame(50);
    brush& b = *w.tool_brush;
    b.set_type("grab");
    b.set_space(0.12f);
    b.set_power(0.8f);
    b.set_time(3.0f);
    w.viewport->update();
    QTest::qWait(50);
    const test::hit_run run = test::longest_hit_run(*w.viewport);
    ASSERT_GE(run.x1 - run.x0, 60);
    const auto before = all_positions(e);

    // Right along the run, then up and to the right, so the grab's direction shows on screen.
    QTest::mousePress(w.viewport, Qt::LeftButton, Qt::NoModifier, QPoint(run.x0, run.y));
    int x = run.x0;
    for (int i = 0; i < 30 && x + 2 <= run.x1; ++i) {
        QTest::mouseMove(w.viewport, QPoint(x += 2, run.y));
        QTest::qWait(5);
    }
    // The picture while the button is still down: cursor, selection heat and direction.
    QTest::qWait(100);
    w.viewport->update();
    save_picture(w.grab().toImage(), "window_stroke.png");
    EXPECT_TRUE(w.window_link::view.drag_active);
    QTest::mouseRelease(w.viewport, Qt::LeftButton, Qt::NoModifier, QPoint(x, run.y));
    // The cursor still over the frame holds the background work back: the reached frames wait.
    w.redraw_timeline();
    save_picture(doubled(w.strip->grab().toImage()), "timeline_waiting.png");

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
    w.redraw_timeline();
    QTest::qWait(50);
    save_picture(w.grab().toImage(), "window_after_stroke.png");
    save_picture(doubled(w.strip->grab().toImage()), "timeline_bands.png");

    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier);
    ASSERT_TRUE(o.wait_for_quiet());
    EXPECT_EQ(e.undo_depth, 0);
    for (int f = 45; f <= 55; ++f)
        EXPECT_LT(moved_most(e.frame(f), before.at(f)), 1e-5f) << f;
}
