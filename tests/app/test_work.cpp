// Nothing the artist painted is lost without a word: the unsaved-strokes question before a new
// scene, an import or closing; the autosave and its replay after a session that never closed;
// the question before a save moves a folder aside; and the status line's messages.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <thread>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "app/autosave.h"
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
using kavrin::test::answer;
using kavrin::test::open_window;
using window = kavrin::kavrin;

namespace {

// One converge stroke with the mouse on frame 50 of the fountain.
void paint(window& w) {
    w.change_frame(50);
    w.tool_brush().set_type(brush_kind::converge);
    w.tool_brush().set_space(0.12f);
    w.viewport().update();
    QTest::qWait(50);
    const test::hit_run run = test::longest_hit_run(w.viewport());
    ASSERT_GE(run.length(), 10);
    QTest::mousePress(&w.viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(run.x0, run.y));
    for (int x = run.x0 + 2; x <= run.x0 + 10; x += 2) {
        QTest::mouseMove(&w.viewport(), QPoint(x, run.y));
        QTest::qWait(15);
    }
    QTest::mouseRelease(&w.viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(run.x0 + 10, run.y));
}

std::map<int, vec3> positions(const frame_set& fs) {
    std::map<int, vec3> out;
    for (const auto& [id, p] : fs.particles)
        out[id] = p.position;
    return out;
}

}  // namespace

TEST(Work, NewSceneImportAndCloseAskBeforeUnsavedStrokesGo) {
    open_window o;
    ASSERT_TRUE(o.wait_for_scene());
    window& w = *o.w;
    // Nothing painted: nothing to ask.
    {
        answer none("unsaved_prompt", QMessageBox::Cancel);
        // Each new scene logs its size (its address may be the old one's, freed just before).
        const int scenes = o.count("cache size / ");
        w.shelf().buttons.at("demo_100")->click();
        EXPECT_EQ(o.count("cache size / "), scenes + 1);
        EXPECT_EQ(none.shown, 0);
    }
    ASSERT_TRUE(o.wait_for_scene());
    paint(w);
    ASSERT_TRUE(o.wait_for_scene());
    ASSERT_TRUE(w.unsaved());

    // Cancel keeps the scene, for a new scene, an import and closing alike.
    int scenes = o.count("cache size / ");
    int asked = 0;
    w.shelf().ask_path = [&asked](bool, const QString&) {
        ++asked;
        return QString();
    };
    for (const char* button : {"demo_100", "cache_import"}) {
        answer cancel("unsaved_prompt", QMessageBox::Cancel);
        w.shelf().buttons.at(button)->click();
        EXPECT_EQ(cancel.shown, 1) << button;
        EXPECT_EQ(o.count("cache size / "), scenes) << button;
    }
    EXPECT_EQ(asked, 0);  // the import asked before its folder dialog, and stopped there
    {
        answer cancel("unsaved_prompt", QMessageBox::Cancel);
        w.close();
        EXPECT_EQ(cancel.shown, 1);
        EXPECT_TRUE(w.isVisible());
        EXPECT_TRUE(w.link().stepping);
    }
    EXPECT_EQ(o.count("unsaved strokes / cancel"), 3);

    // Save writes the cache first, then the new scene comes; nothing is asked afterwards.
    QTemporaryDir dir;
    w.shelf().ask_path = [&dir](bool, const QString&) { return dir.path() + "/kept"; };
    {
        answer save("unsaved_prompt", QMessageBox::Save);
        EXPECT_TRUE(save.text.isEmpty());
        w.shelf().buttons.at("demo_100")->click();
        EXPECT_EQ(save.shown, 1);
        EXPECT_TRUE(save.text.contains("1 unsaved change")) << save.text.toStdString();
    }
    // A new scene, holding none of the strokes (it may sit where the old one was freed).
    ASSERT_TRUE(w.scene());
    EXPECT_EQ(w.scene()->history().undo_depth(), 0);
    EXPECT_EQ(QDir(dir.path() + "/kept").entryList({"*.bin"}).size(), 100);
    EXPECT_TRUE(QFile::exists(dir.path() + "/kept/kept.strokes.json"));
    EXPECT_TRUE(w.status().history().join("\n").contains("Saved 100 frames to " + dir.path()));

    // Discard drops the strokes at once.
    ASSERT_TRUE(o.wait_for_scene());
    paint(w);
    ASSERT_TRUE(o.wait_for_scene());
    {
        answer discard("unsaved_prompt", QMessageBox::Discard);
        w.shelf().buttons.at("demo_10000")->click();
        EXPECT_EQ(discard.shown, 1);
    }
    ASSERT_TRUE(w.scene());
    EXPECT_EQ(w.scene()->history().undo_depth(), 0);
    EXPECT_EQ(w.link().generation_scale, 100);
    EXPECT_EQ(o.count("unsaved strokes / discard"), 1);
}

TEST(Work, TheStrokesOfASessionThatNeverClosedReplayOntoItsScene) {
    const QString resource = QCoreApplication::applicationDirPath() + "/resource/";
    std::map<int, vec3> painted, neighbour;
    QTemporaryDir kept;
    {
        open_window o;
        ASSERT_TRUE(o.wait_for_scene());
        window& w = *o.w;
        const std::map<int, vec3> before = positions(w.scene()->frame(50));
        paint(w);
        ASSERT_TRUE(o.wait_for_scene());
        painted = positions(w.scene()->frame(50));
        ASSERT_NE(painted, before);
        neighbour = positions(w.scene()->frame(49));
        QTest::qWait(250);  // the next tick writes the autosave
        std::optional<autosave> a = read_autosave(resource, nullptr);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->events.size(), 1u);
        EXPECT_FALSE(a->source.from_cache);
        // What a killed process leaves behind: the files as they are now.
        for (const char* name : {"autosave.ini", "autosave.strokes.json"})
            ASSERT_TRUE(QFile::copy(resource + name, kept.path() + "/" + name));
    }
    // A clean close leaves nothing to recover.
    EXPECT_FALSE(read_autosave(resource, nullptr));
    for (const char* name : {"autosave.ini", "autosave.strokes.json"})
        ASSERT_TRUE(QFile::copy(kept.path() + "/" + name, resource + name));

    answer yes("recover_prompt", QMessageBox::Yes);
    open_window o(false, true);
    ASSERT_TRUE(o.started);
    EXPECT_EQ(yes.shown, 1);
    EXPECT_TRUE(yes.text.contains("the fountain 100")) << yes.text.toStdString();
    ASSERT_TRUE(o.wait_for_scene());
    window& w = *o.w;
    EXPECT_EQ(o.count("recovery / done / 1 of 1"), 1);
    EXPECT_TRUE(w.status().history().join("\n").contains("Recovered 1 changes"));
    // The painted frame and its neighbour are exactly as the lost session left them, and the
    // recovered scene still counts the stroke as unsaved.
    EXPECT_EQ(positions(w.scene()->frame(50)), painted);
    EXPECT_EQ(positions(w.scene()->frame(49)), neighbour);
    EXPECT_TRUE(w.unsaved());
    EXPECT_EQ(w.link().current_frame, 50);
}

TEST(Work, SavingOverAFolderThatHoldsFilesSaysWhereTheyGo) {
    open_window o;
    ASSERT_TRUE(o.wait_for_scene());
    window& w = *o.w;
    QTemporaryDir dir;
    const QString folder = dir.path() + "/shot";
    QDir().mkpath(folder);
    QFile old(folder + "/old.txt");
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.close();
    w.shelf().ask_path = [&folder](bool, const QString&) { return folder; };
    {
        answer cancel("save_over_prompt", QMessageBox::Cancel);
        w.shelf().buttons.at("cache_export")->click();
        EXPECT_EQ(cancel.shown, 1);
        EXPECT_TRUE(cancel.text.contains(folder + "#")) << cancel.text.toStdString();
    }
    EXPECT_TRUE(QFile::exists(folder + "/old.txt"));  // nothing moved
    {
        answer save("save_over_prompt", QMessageBox::Save);
        w.shelf().buttons.at("cache_export")->click();
        EXPECT_EQ(save.shown, 1);
    }
    ASSERT_TRUE(o.wait_for_scene());
    QTest::qWait(150);
    EXPECT_FALSE(QFile::exists(folder + "/old.txt"));
    const QStringList aside = QDir(dir.path()).entryList({"shot#*"}, QDir::Dirs);
    ASSERT_EQ(aside.size(), 1);
    EXPECT_TRUE(
        w.status().history().join("\n").contains("moved to " + dir.path() + "/" + aside[0]));
}

TEST(Work, ASaveIntoAFolderThatDoesNotExistMakesItOrSaysWhyNot) {
    open_window o;
    ASSERT_TRUE(o.wait_for_scene());
    window& w = *o.w;
    QTemporaryDir dir;
    QFile blocker(dir.path() + "/plain");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    // The folder dialog takes the name of one that does not exist yet.
    QTimer typing;
    int tries = 0;
    QObject::connect(&typing, &QTimer::timeout, [&dir, &tries] {
        // A dialog that refuses the name (and its warning) is closed after a while: no hang.
        if (++tries > 40)
            for (QWidget* top : QApplication::topLevelWidgets())
                if (auto* d = qobject_cast<QDialog*>(top); d && d->isVisible()) d->reject();
        for (QWidget* top : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<QFileDialog*>(top);
            auto* name = dialog ? dialog->findChild<QLineEdit*>("fileNameEdit") : nullptr;
            if (!name || !dialog->isVisible()) continue;
            name->setText(dir.path() + "/typed");
            QTest::keyClick(name, Qt::Key_Return);
        }
    });
    typing.start(50);
    EXPECT_EQ(w.shelf().ask_path(true, dir.path()), dir.path() + "/typed");
    typing.stop();

    QString folder = dir.path() + "/plain/shot";
    w.shelf().ask_path = [&folder](bool, const QString&) { return folder; };
    w.shelf().buttons.at("cache_export")->click();
    EXPECT_FALSE(w.link().panel_busy);  // no save started
    EXPECT_TRUE(
        w.status().message().contains("cannot be created (" + dir.path() + "/plain is a file)"))
        << w.status().message().toStdString();

    folder = dir.path() + "/new/shot";
    w.shelf().buttons.at("cache_export")->click();
    ASSERT_TRUE(o.wait_for_scene());
    QTest::qWait(150);
    EXPECT_EQ(QDir(folder).entryList({"shot.*.bin"}, QDir::Files).size(), 100);
}

TEST(Work, AMessageFromAWorkerReachesTheStatusLineAndFades) {
    open_window o;
    ASSERT_TRUE(o.started);
    window& w = *o.w;
    std::thread([&w] { w.tell("12 duplicate ids dropped"); }).join();
    EXPECT_TRUE(w.status().message().isEmpty())  // queued, not shown from the worker
        << w.status().message().toStdString();
    QTest::qWait(50);
    EXPECT_EQ(w.status().message(), "12 duplicate ids dropped");
    EXPECT_TRUE(w.status().history().last().endsWith("12 duplicate ids dropped"));
    // The fade timer is coarse: it may fire up to 5 % late, and later still on a loaded machine.
    QElapsedTimer shown;
    shown.start();
    while (!w.status().message().isEmpty() && shown.elapsed() < 3 * status_line::message_ms)
        QTest::qWait(50);
    EXPECT_TRUE(w.status().message().isEmpty());
    EXPECT_EQ(w.status().history().size(), 1);
}

TEST(Work, ImportingAShorterCacheBringsTheCurrentFrameIntoIt) {
    open_window o;
    ASSERT_TRUE(o.wait_for_scene());
    window& w = *o.w;
    QTemporaryDir dir;
    w.shelf().ask_path = [&dir](bool, const QString&) { return dir.path() + "/all"; };
    w.shelf().buttons.at("cache_export")->click();
    ASSERT_TRUE(o.wait_for_scene());
    // Frames 10 to 19 of the saved fountain, as a cache of their own.
    QDir().mkpath(dir.path() + "/part");
    for (int f = 10; f < 20; ++f) {
        const QString name = QString("all.%1.bin").arg(f, 4, 10, QChar('0'));
        ASSERT_TRUE(QFile::copy(dir.path() + "/all/" + name, dir.path() + "/part/" + name));
    }
    w.shelf().ask_path = [&dir](bool, const QString&) { return dir.path() + "/part"; };
    for (const auto& [from, to] : {std::pair{50, 19}, std::pair{3, 10}, std::pair{14, 14}}) {
        w.change_frame(from);
        w.shelf().buttons.at("cache_import")->click();
        ASSERT_TRUE(o.wait_for_scene());
        EXPECT_EQ(w.link().current_frame, to) << from;
        EXPECT_EQ(w.strip().frame_at(w.strip().offset), to);
        EXPECT_TRUE(w.viewport().frame_shown());
    }
    EXPECT_EQ(w.status().history().filter("Imported 10 frames from " + dir.path() + "/part").size(),
              3);
}
