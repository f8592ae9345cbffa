#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>

#include "app/kavrin.h"
#include "app/shelf_area.h"
#include "view/brush.h"
#include "view/camera.h"
#include "view/timeline.h"
#include "view/tool_settings.h"
#include "view/view3d.h"
#include "window_fixture.h"

using namespace kavrin;
using kavrin::test::open_window;

namespace {

// Answers every dialog with the given path.
void answer_dialogs(shelf_area& panel, const QString& path) {
    panel.ask_path = [path](bool, const QString&) { return path; };
}

bool wait_until(const std::function<bool()>& done, int ms = 30000) {
    for (int waited = 0; waited < ms; waited += 20) {
        if (done()) return true;
        QTest::qWait(20);
    }
    return done();
}

}  // namespace

TEST(Panel, ButtonsAndTheirLook) {
    open_window o;
    ASSERT_TRUE(o.started);
    shelf_area& panel = o.w->shelf();
    EXPECT_EQ(panel.brush_buttons.size(), 5u);
    for (const char* name :
         {"brush_hard", "cache_export", "cache_override", "cache_import", "cache_display",
          "camera_import", "camera_animation", "camera_reset", "camera_guide", "geometry_import",
          "geometry_visible", "demo_wine", "demo_fireball", "demo_100", "demo_10000", "user_update",
          "brush_mirror", "cache_onion_skin"})
        ASSERT_TRUE(panel.buttons.count(name)) << name;
    // Every button says what it does; those with a key name it.
    for (const auto& [name, b] : panel.buttons)
        EXPECT_FALSE(b->toolTip().isEmpty()) << name;
    for (const auto& [kind, b] : panel.brush_buttons)
        EXPECT_FALSE(b->toolTip().isEmpty()) << brush_name(kind).data();
    EXPECT_TRUE(panel.brush_buttons.at(brush_kind::converge)->toolTip().endsWith("(key 3)"));
    EXPECT_TRUE(panel.buttons.at("cache_onion_skin")->toolTip().endsWith("(key O)"));
    QPushButton* display = panel.buttons.at("cache_display");
    EXPECT_EQ(display->text(), "         Display");
    EXPECT_TRUE(display->isCheckable());
    EXPECT_TRUE(display->styleSheet().contains("cache_display.png"));
    EXPECT_TRUE(display->styleSheet().contains("QPushButton:checked"));
    EXPECT_FALSE(panel.buttons.at("cache_export")->styleSheet().contains(":checked"));
    EXPECT_EQ(panel.buttons.at("camera_animation")->text(), "         Animation");
    EXPECT_EQ(display->height(), 38);
}

TEST(Panel, TheActiveBrushTypeStaysCheckedAndAnotherReplacesIt) {
    open_window o;
    shelf_area& panel = o.w->shelf();
    const brush_kind start = o.w->tool_brush().type();
    QPushButton* active = panel.brush_buttons.at(start);
    ASSERT_TRUE(active->isChecked());
    active->click();  // clicking the active type cannot switch it off
    EXPECT_TRUE(active->isChecked());
    EXPECT_EQ(o.w->tool_brush().type(), start);

    o.w->tool_brush().set_vector(vec3(1, 0, 0));
    const brush_kind other = start == brush_kind::scale ? brush_kind::remove : brush_kind::scale;
    panel.brush_buttons.at(other)->click();
    EXPECT_FALSE(active->isChecked());
    EXPECT_TRUE(panel.brush_buttons.at(other)->isChecked());
    EXPECT_EQ(o.w->tool_brush().type(), other);
    EXPECT_EQ(o.w->tool_brush().vector(), vec3());
    int checked = 0;
    for (auto& [type, b] : panel.brush_buttons)
        checked += b->isChecked() ? 1 : 0;
    EXPECT_EQ(checked, 1);

    panel.buttons.at("brush_hard")->click();
    EXPECT_TRUE(o.w->display().held_buttons().hard);
    panel.buttons.at("camera_guide")->click();
    EXPECT_FALSE(o.w->display().toggle("camera_guide"));
}

TEST(Panel, WhileBusyCacheAndDemoClicksOnlyLog) {
    open_window o;
    ASSERT_TRUE(o.wait_for_scene());
    shelf_area& panel = o.w->shelf();
    emitter* before = o.w->scene();
    o.w->link().panel_busy = true;
    panel.buttons.at("demo_10000")->click();
    panel.buttons.at("cache_import")->click();
    EXPECT_EQ(o.w->scene(), before);
    EXPECT_EQ(o.count("control panel button / demo / 10000"), 1);
    EXPECT_EQ(o.count("cache generate / cancel"), 0);
}

TEST(Panel, ImportOfAFolderWithoutCacheFilesChangesNothing) {
    open_window o;
    ASSERT_TRUE(o.wait_for_scene());
    QTemporaryDir dir;
    QFile(dir.path() + "/notes.txt").open(QIODevice::WriteOnly);
    answer_dialogs(o.w->shelf(), dir.path());
    emitter* before = o.w->scene();
    o.w->shelf().buttons.at("cache_import")->click();
    EXPECT_EQ(o.w->scene(), before);
    EXPECT_TRUE(o.w->link().cache_files.empty());
    EXPECT_EQ(o.count("cache generate / cancel"), 1);

    answer_dialogs(o.w->shelf(), "");  // a cancelled dialog
    o.w->shelf().buttons.at("cache_export")->click();
    EXPECT_EQ(o.count("cache save / cancel"), 1);
}

TEST(Panel, SaveImportAndPlayBackGiveTheSavedFrames) {
    open_window o;
    ASSERT_TRUE(o.wait_for_scene());
    shelf_area& panel = o.w->shelf();
    QTemporaryDir root;
    const QString folder = root.path() + "/fountain";
    QDir().mkpath(folder);
    QFile(folder + "/old.txt").open(QIODevice::WriteOnly);  // an earlier cache is moved aside

    answer_dialogs(panel, folder);
    test::answer save_over("save_over_prompt", QMessageBox::Save);
    panel.buttons.at("cache_export")->click();
    EXPECT_EQ(save_over.shown, 1);
    ASSERT_TRUE(o.w->link().panel_busy);
    ASSERT_TRUE(wait_until([&] { return !o.w->scene()->saving() && !o.w->link().panel_busy; }));
    EXPECT_EQ(o.count("cache save / moved aside / "), 1);
    EXPECT_FALSE(QFile::exists(folder + "/old.txt"));
    EXPECT_TRUE(QFile::exists(folder + "/fountain.0000.bin"));
    EXPECT_TRUE(QFile::exists(folder + "/fountain.0099.bin"));
    EXPECT_EQ(o.count("stroke log / " + folder + "/fountain.strokes.json"), 1);
    std::map<int, particle_map> saved;
    for (auto& [n, fs] : o.w->scene()->frames)
        saved[n] = fs.particles;

    panel.buttons.at("cache_import")->click();
    EXPECT_TRUE(o.w->scene()->from_cache);
    EXPECT_EQ(o.count("cache size / 100"), 2);
    ASSERT_TRUE(o.wait_for_scene());
    EXPECT_EQ(panel.last_folder.at("cache"), root.path() + "/");
    for (auto& [n, fs] : o.w->scene()->frames) {
        ASSERT_EQ(fs.particles.size(), saved.at(n).size()) << n;
        for (auto& [id, p] : fs.particles) {
            const particle& s = saved.at(n).at(id);
            ASSERT_EQ(p.position, s.position) << n << " " << id;
            ASSERT_EQ(p.scale, s.scale);
        }
    }

    // The log alone, into the same folder: the log of the cache there is kept aside.
    panel.buttons.at("cache_log")->click();
    EXPECT_EQ(o.count("stroke log / moved aside / " + folder + "/fountain.strokes.json#"), 1);
    EXPECT_EQ(o.count("stroke log / " + folder + "/fountain.strokes.json"), 2);

    // Override writes the imported frames back over their own folder, which moves aside first:
    // the records come from where their files went, as they were (the statistics follow them).
    auto bytes_of = [](const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    const QByteArray before = bytes_of(folder + "/fountain.0042.bin");
    ASSERT_GT(before.size(), 356);
    panel.buttons.at("cache_override")->click();
    ASSERT_TRUE(wait_until([&] { return !o.w->scene()->saving() && !o.w->link().panel_busy; }));
    EXPECT_EQ(o.count("cache save / moved aside / "), 2);
    const QByteArray after = bytes_of(folder + "/fountain.0042.bin");
    EXPECT_EQ(after.left(284), before.left(284));
    EXPECT_EQ(after.mid(320), before.mid(320));
}

TEST(Panel, NewScenesReplaceTheEmitter) {
    open_window o;
    ASSERT_TRUE(o.wait_for_scene());
    o.w->shelf().buttons.at("demo_10000")->click();
    EXPECT_EQ(o.w->link().generation_scale, 100);
    ASSERT_TRUE(o.wait_for_scene());
    EXPECT_EQ(o.w->scene()->point_count(), 505000);
    o.w->shelf().buttons.at("demo_100")->click();
    EXPECT_EQ(o.w->link().generation_scale, 1);
    ASSERT_TRUE(o.wait_for_scene());
    EXPECT_EQ(o.w->scene()->point_count(), 5050);
}

TEST(Settings, TheWindowRestartsWithTheToolStateItClosedWith) {
    QFile::remove(kavrin::test::tool_ini_path());
    camera_state cam;
    {
        open_window o(true);
        o.w->tool_brush().set_space(0.123f);
        o.w->tool_brush().set_power(0.77f);
        o.w->tool_brush().set_time(3.5f);
        o.w->shelf().brush_buttons.at(brush_kind::converge)->click();
        o.w->timeline_button("left").setChecked(true);
        o.w->strip().scale = 7.5f;
        o.w->strip().offset = 321.0f;
        o.w->strip().fitted = false;  // as after an Alt zoom
        cam = o.w->viewport().camera();
        cam.focal_mag = 4.25f;
        cam.position = vec3(0.5f, 1.5f, 4.0f);
        o.w->viewport().set_camera(cam);
        o.w->shelf().buttons.at("cache_display")->setChecked(true);
        o.w->shelf().buttons.at("brush_mirror")->setChecked(true);
        o.w->shelf().buttons.at("cache_onion_skin")->setChecked(true);
        o.w->display().set_onion_count(3);
        o.w->shelf().last_folder["camera"] = "/some/where/";
    }
    open_window again(true);
    EXPECT_FLOAT_EQ(again.w->tool_brush().space(), 0.123f);
    EXPECT_FLOAT_EQ(again.w->tool_brush().power(), 0.77f);
    EXPECT_FLOAT_EQ(again.w->tool_brush().time(), 3.5f);
    EXPECT_EQ(again.w->tool_brush().type(), brush_kind::converge);
    EXPECT_TRUE(again.w->shelf().brush_buttons.at(brush_kind::converge)->isChecked());
    EXPECT_TRUE(again.w->timeline_button("left").isChecked());
    EXPECT_FLOAT_EQ(again.w->strip().scale, 7.5f);
    EXPECT_FLOAT_EQ(again.w->strip().offset, 321.0f);
    const camera_state c = again.w->viewport().camera();
    EXPECT_FLOAT_EQ(c.focal_mag, 4.25f);
    EXPECT_EQ(c.position, vec3(0.5f, 1.5f, 4.0f));
    EXPECT_TRUE(again.w->display().toggle("cache_display"));
    EXPECT_TRUE(again.w->display().held_buttons().mirror);
    EXPECT_EQ(again.w->display().onion_frames(), 3);
    EXPECT_EQ(again.w->shelf().last_folder.at("camera"), "/some/where/");
}

TEST(Settings, WithoutAToolFileTheDefaultsFileIsRead) {
    open_window o;  // tool.ini removed
    const tool_state defaults = load_tool_settings("", o.w->paths().default_ini);
    EXPECT_TRUE(QFile::exists(o.w->paths().default_ini));
    EXPECT_EQ(o.w->tool_brush().type(), defaults.type);
    EXPECT_FLOAT_EQ(o.w->tool_brush().space(), defaults.space);
    EXPECT_FLOAT_EQ(o.w->viewport().camera().focal_mag, defaults.camera.focal_mag);
    EXPECT_TRUE(o.w->display().toggle("camera_guide"));
}

TEST(Panel, AltMiddleDragScrollsTheColumnWithinItsContent) {
    open_window o;
    shelf_area& panel = o.w->shelf();
    QWidget* header = panel.widget()->findChild<QLabel*>();
    ASSERT_TRUE(header);
    const QPoint at = header->rect().center();
    o.w->link().set_key("alt", true);
    QTest::mousePress(header, Qt::MiddleButton, Qt::AltModifier, at);
    QMouseEvent up(QEvent::MouseMove, QPointF(at - QPoint(0, 60)),
                   header->mapToGlobal(at - QPoint(0, 60)), Qt::NoButton, Qt::MiddleButton,
                   Qt::AltModifier);
    QApplication::sendEvent(header, &up);
    EXPECT_EQ(panel.scroll_offset(), -60);
    QMouseEvent far(QEvent::MouseMove, QPointF(at - QPoint(0, 400)),
                    header->mapToGlobal(at - QPoint(0, 400)), Qt::NoButton, Qt::MiddleButton,
                    Qt::AltModifier);
    QApplication::sendEvent(header, &far);
    EXPECT_EQ(panel.scroll_offset(), -160);  // one move scrolls at most 100 pixels
    QTest::mouseRelease(header, Qt::MiddleButton, Qt::AltModifier, at);
    EXPECT_EQ(o.count("side panel control / translate"), 2);
    EXPECT_FALSE(o.w->display().camera_mode());

    // Without Alt a middle drag does not scroll.
    o.w->link().set_key("alt", false);
    QTest::mousePress(header, Qt::MiddleButton, Qt::NoModifier, at);
    QApplication::sendEvent(header, &up);
    EXPECT_EQ(panel.scroll_offset(), -160);
}

TEST(Panel, AColumnTallerThanTheWindowScrollsWithABarAndTheWheelAndComesBackAfterARestart) {
    QFile::remove(kavrin::test::tool_ini_path());
    int offset = 0;
    {
        open_window o(true);
        shelf_area& panel = o.w->shelf();
        ASSERT_GT(panel.widget()->height(), panel.viewport()->height());
        EXPECT_TRUE(panel.verticalScrollBar()->isVisible());
        for (QLabel* header : panel.widget()->findChildren<QLabel*>())
            EXPECT_GE(header->height(), header->fontMetrics().height())
                << header->text().toStdString();
        const QPointF at(40, 40);
        QWheelEvent wheel(at, panel.viewport()->mapToGlobal(at), QPoint(), QPoint(0, -240),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(panel.viewport(), &wheel);
        offset = panel.scroll_offset();
        EXPECT_LT(offset, 0);
        EXPECT_EQ(offset, -panel.verticalScrollBar()->value());
        EXPECT_EQ(panel.widget()->y(), offset);
    }
    open_window again(true);
    EXPECT_EQ(again.w->shelf().scroll_offset(), offset);
    EXPECT_EQ(again.w->shelf().widget()->y(), offset);
}

TEST(Panel, ExportOffersTheScenesOwnFormatFirstAndSaysWhatAnotherCannotCarry) {
    open_window o;
    ASSERT_TRUE(o.wait_for_scene());
    shelf_area& panel = o.w->shelf();
    QTemporaryDir dir;
    QStringList offered;
    QString pick = "vdb";
    panel.ask_format = [&](const QStringList& formats) {
        offered = formats;
        return pick;
    };
    answer_dialogs(panel, dir.path() + "/points");
    panel.buttons.at("cache_export")->click();
    ASSERT_TRUE(o.wait_for_scene());
    EXPECT_EQ(offered, (QStringList{"bin", "vdb", "ply"}));  // a generated scene's own is .bin
    const int frames = int(o.w->scene()->frames.size());
    EXPECT_EQ(QDir(dir.path() + "/points").entryList({"points.*.vdb"}).size(), frames);
    EXPECT_EQ(o.count("cache save / format / vdb"), 1);

    panel.buttons.at("cache_import")->click();
    ASSERT_TRUE(o.wait_for_scene());
    ASSERT_EQ(int(o.w->scene()->frames.size()), frames);
    pick = "ply";
    answer_dialogs(panel, dir.path() + "/cloud");
    panel.buttons.at("cache_export")->click();
    ASSERT_TRUE(o.wait_for_scene());
    EXPECT_EQ(offered.first(), "vdb");
    EXPECT_EQ(QDir(dir.path() + "/cloud").entryList({"cloud.*.ply"}).size(), frames);
    EXPECT_EQ(o.count("cache save / dropped attribute / Cd"), 1);
    EXPECT_EQ(o.count("cache save / dropped attribute / Alpha"), 1);

    pick = "";  // the format question cancelled
    panel.buttons.at("cache_export")->click();
    EXPECT_EQ(o.count("cache save / cancel"), 1);
}
