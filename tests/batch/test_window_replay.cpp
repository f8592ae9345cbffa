// A scene painted in the window with the mouse, saved with its stroke log, and the log replayed
// by kavrin-batch on the cache the window started from: the two caches are the same, byte for
// byte. The window's background work runs on its own timer meanwhile, between and under the
// strokes, as it does for a user.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "app/kavrin.h"
#include "app/shelf_area.h"
#include "app/window_fixture.h"
#include "scene/stroke_log.h"
#include "view/brush.h"
#include "view/hit_run.h"
#include "view/view3d.h"

using namespace kavrin;

namespace {

bool wait_until(const std::function<bool()>& done, int ms = 60000) {
    for (int waited = 0; waited < ms; waited += 20) {
        if (done()) return true;
        QTest::qWait(20);
    }
    return done();
}

// Saves the window's scene into folder through the panel and waits for the files.
bool save_through_panel(test::open_window& o, const QString& folder) {
    o.w->shelf().ask_path = [folder](bool, const QString&) { return folder; };
    o.w->shelf().buttons.at("cache_export")->click();
    return wait_until([&] { return !o.w->scene()->saving() && !o.w->link().panel_busy; });
}

// One stroke with the mouse along the longest stretch of frame f that picks hit.
void paint(kavrin::kavrin& w, int f, brush_kind type, float power, float time) {
    w.change_frame(f);
    brush& b = w.tool_brush();
    w.shelf().choose_brush(type);
    b.set_power(power);
    b.set_time(time);
    b.set_space(0.1f);
    w.viewport().update();
    QTest::qWait(20);
    const test::hit_run run = test::longest_hit_run(w.viewport(), 6);
    if (run.length() < 4) return;
    QTest::mousePress(&w.viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(run.x0, run.y));
    for (int x = run.x0; x <= run.x1; x += 8) {
        QTest::mouseMove(&w.viewport(), QPoint(x, run.y + (x / 7) % 3));
        QTest::qWait(3);
    }
    QTest::mouseRelease(&w.viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(run.x1, run.y));
}

// The cache files of a folder by frame number, and the stroke log.
std::map<QString, QByteArray> contents(const QString& folder) {
    std::map<QString, QByteArray> out;
    const QString base = QFileInfo(folder).fileName();
    for (const QString& name : QDir(folder).entryList(QDir::Files)) {
        QFile file(folder + "/" + name);
        if (!file.open(QIODevice::ReadOnly)) continue;
        out[name.mid(base.size())] = file.readAll();  // ".0012.bin", ".strokes.json"
    }
    return out;
}

}  // namespace

TEST(WindowReplay, KavrinBatchWritesTheCacheTheWindowSaved) {
    test::open_window o;
    ASSERT_TRUE(o.started);
    ASSERT_TRUE(o.wait_for_scene());
    QTemporaryDir root;
    const QString original = root.path() + "/original", painted = root.path() + "/painted",
                  replayed = root.path() + "/replayed";

    // The start-up scene as a cache, opened again the way a user opens a cache.
    ASSERT_TRUE(save_through_panel(o, original));
    o.w->shelf().ask_path = [original](bool, const QString&) { return original; };
    o.w->shelf().buttons.at("cache_import")->click();
    ASSERT_TRUE(o.w->scene()->from_cache);
    ASSERT_TRUE(o.wait_for_scene());

    // Strokes in quick succession, each beside frames that still wait for the strokes before
    // it; one after the background has caught up; an undo, and at once a stroke on a frame that
    // the undo has not reached yet.
    kavrin::kavrin& w = *o.w;
    w.display().set_toggle("cache_display", true);  // a "scale" brush needs the cache display
    paint(w, 60, brush_kind::grab, 0.8f, 3.0f);
    paint(w, 64, brush_kind::converge, 0.6f, 2.0f);
    paint(w, 52, brush_kind::scale, 0.9f, 4.0f);
    w.timeline_button("right").setChecked(true);
    paint(w, 80, brush_kind::normal, 0.5f, 1.0f);
    w.timeline_button("right").setChecked(false);
    ASSERT_TRUE(o.wait_for_scene());
    paint(w, 70, brush_kind::remove, 0.7f, 5.0f);
    ASSERT_TRUE(wait_until([&] { return !w.scene()->spreading(); }));
    QTest::keyClick(&w, Qt::Key_Z, Qt::ControlModifier);
    paint(w, 72, brush_kind::grab, 1.0f, 6.0f);
    ASSERT_TRUE(o.wait_for_scene());

    ASSERT_TRUE(save_through_panel(o, painted));
    const auto window_files = contents(painted);
    ASSERT_TRUE(window_files.count(".strokes.json"));
    ASSERT_NE(window_files, contents(original)) << "the strokes changed nothing";
    QString error;
    const auto events = read_stroke_log(window_files.at(".strokes.json"), &error);
    ASSERT_TRUE(events) << error.toStdString();
    std::map<event_kind, int> kinds;
    for (const log_event& e : *events)
        ++kinds[e.kind];
    EXPECT_EQ(kinds[event_kind::stroke], 6);
    EXPECT_EQ(kinds[event_kind::undo], 1);

    QProcess batch;
    batch.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    batch.start(KAVRIN_BATCH, {original, painted + "/painted.strokes.json", replayed});
    ASSERT_TRUE(batch.waitForFinished(120000));
    ASSERT_EQ(batch.exitCode(), 0);
    const auto batch_files = contents(replayed);
    ASSERT_EQ(batch_files.size(), window_files.size());
    for (const auto& [suffix, bytes] : window_files)
        EXPECT_TRUE(batch_files.at(suffix) == bytes) << suffix.toStdString();
}
