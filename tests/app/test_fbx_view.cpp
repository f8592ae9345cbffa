// FBX geometry and cameras in the window: the scene camera's view follows each frame's key the
// moment the toggle or the frame changes, and shows the scene; imports come in the scene's unit
// beside its particles; and they are imported again at the next start.
#include <gtest/gtest.h>

#include <cstring>

#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include "app/kavrin.h"
#include "app/shelf_area.h"
#include "app/status_line.h"
#include "dynamics/frame_set.h"
#include "exchange/bin_file.h"
#include "exchange/fbx_import.h"
#include "fbx_samples.h"
#include "view/camera.h"
#include "view/view3d.h"
#include "window_fixture.h"

using namespace kavrin;
using kavrin::test::open_window;
using kavrin::test::share_in_view;
using window = kavrin::kavrin;

namespace {

// Imports the file through the panel's button, as the artist's dialog would choose it.
void import_through_panel(window& w, const char* kind, const QString& path) {
    w.shelf().ask_path = [path](bool, const QString&) { return path; };
    QTest::mouseClick(w.shelf().buttons.at(std::string(kind) + "_import"), Qt::LeftButton);
}

void click(window& w, const char* button) {
    QTest::mouseClick(w.shelf().buttons.at(button), Qt::LeftButton);
}

// The eye of the view the viewport last painted, once the events of the change have run.
vec3 painted_eye(window& w) {
    QTest::qWait(60);
    return w.viewport().current_projection().eye;
}

// Pixels of the picture brighter than the black background.
int shown_pixels(const QImage& image) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qGray(image.pixel(x, y)) > 25) ++n;
    return n;
}

// With KAVRIN_PICTURES=folder, the screenshot script's pictures.
void save_picture(const QImage& image, const char* name) {
    const QString folder = qEnvironmentVariable("KAVRIN_PICTURES");
    if (!folder.isEmpty()) {
        EXPECT_TRUE(image.save(folder + "/" + name)) << name;
    }
}

QString write_fbx(const QTemporaryDir& dir, const char* name, const fbx_test::scene_desc& scene) {
    const QString path = dir.path() + "/" + name;
    EXPECT_TRUE(fbx_test::write_file(path, scene)) << name;
    return path;
}

fbx_test::orbit_layout close_orbit() {
    // Round the fountain, a few of its sizes away.
    fbx_test::orbit_layout orbit;
    orbit.centre = {0.0, 0.5, 0.0};
    orbit.radius = 4.0;
    orbit.height = 1.5;
    orbit.last_frame = 120;
    return orbit;
}

}  // namespace

TEST(FbxView, TheSceneCameraShowsEachFramesKeyAtOnceAndNeverBlack) {
    open_window o;
    ASSERT_TRUE(o.started);
    ASSERT_TRUE(o.wait_for_scene());
    window& w = *o.w;
    QTemporaryDir dir;
    import_through_panel(w, "camera",
                         write_fbx(dir, "orbit.fbx", fbx_test::orbit_camera_scene(close_orbit())));
    ASSERT_TRUE(w.display().imported("camera"));
    // A free camera dollied onto and past its centre, as a long Ctrl + middle drag leaves it,
    // must not turn the scene camera round.
    camera_state dollied = w.viewport().camera();
    dollied.focal_mag = -0.5f;
    w.viewport().set_camera(dollied);
    w.change_frame(40);
    EXPECT_EQ(painted_eye(w), dollied.position);

    auto expect_seen = [&](const char* when) {
        EXPECT_LT(
            length(painted_eye(w) - w.viewport().transform_point(w.link().current_frame, vec3())),
            1e-4f)
            << when;
        const QImage image = w.viewport().grabFramebuffer();
        EXPECT_GT(shown_pixels(image), image.width() * image.height() / 400) << when;
        EXPECT_GT(share_in_view(w, w.scene()->frame(w.link().current_frame)), 0.9) << when;
    };
    click(w, "camera_animation");
    ASSERT_TRUE(w.display().toggle("camera_animation"));
    expect_seen("toggled on");
    for (const auto& [key, name] :
         {std::pair{Qt::Key_End, "End"}, {Qt::Key_Home, "Home"}, {Qt::Key_End, "End again"}}) {
        QTest::keyClick(&w, key);
        EXPECT_EQ(w.link().current_frame,
                  key == Qt::Key_Home ? w.scene()->first_frame : w.scene()->last_frame);
        expect_seen(name);
    }
    save_picture(w.grab().toImage(), "window_scene_camera.png");
    click(w, "camera_animation");
    EXPECT_EQ(painted_eye(w), dollied.position);
}

TEST(FbxView, GeometryAndCameraComeInTheSceneUnitAndLineUpWithItsCache) {
    open_window o;
    ASSERT_TRUE(o.started);
    ASSERT_TRUE(o.wait_for_scene());
    window& w = *o.w;
    QTemporaryDir dir;
    const QString bottle = write_fbx(dir, "bottle.fbx", fbx_test::bottle_scene());
    fbx_geometry as_read;
    ASSERT_TRUE(import_geometry(bottle, as_read));

    // The fountain is about two metres across: the scene's unit is set to metres in the display
    // popup, before and after an import alike.
    import_through_panel(w, "camera", write_fbx(dir, "orbit.fbx", fbx_test::orbit_camera_scene()));
    QTest::mouseClick(w.findChild<QToolButton*>("display_button"), Qt::LeftButton);
    auto* unit = w.findChild<QComboBox*>("scene_unit");
    ASSERT_TRUE(unit && unit->isVisible());
    EXPECT_EQ(unit->currentData().toString(), "cm");
    unit->setFocus();
    QTest::keyClick(unit, Qt::Key_Down);
    EXPECT_EQ(w.fbx().scene_unit, "m");
    EXPECT_FLOAT_EQ(w.fbx().scale, 0.01f);
    EXPECT_FLOAT_EQ(float(w.findChild<QDoubleSpinBox*>("fbx_scale")->value()), 0.01f);
    EXPECT_TRUE(w.status().message().contains("scale 0.01, centimetres to metres"))
        << w.status().message().toStdString();
    EXPECT_LT(w.viewport().scene_camera_scale, 1.0f);  // the orbit's 60 cm
    unit->window()->hide();

    import_through_panel(w, "geometry", bottle);
    ASSERT_TRUE(w.display().imported("geometry"));
    EXPECT_EQ(o.count("geometry import / scale / 0.01"), 1);
    EXPECT_TRUE(w.status().message().contains("scale 0.01")) << w.status().message().toStdString();
    ASSERT_EQ(w.viewport().geometry_vertices.size(), as_read.vertices.size());
    for (size_t i = 0; i < as_read.vertices.size(); ++i)
        ASSERT_FLOAT_EQ(w.viewport().geometry_vertices[i], as_read.vertices[i] * 0.01f) << i;

    // F frames the fountain's particles with the bottle, which shows among them.
    if (!w.display().toggle("geometry_visible")) click(w, "geometry_visible");
    w.change_frame(60);
    QTest::keyClick(&w, Qt::Key_F);
    const QImage shown = w.viewport().grabFramebuffer();
    EXPECT_GT(share_in_view(w, w.scene()->frame(w.link().current_frame)), 0.97);
    save_picture(w.grab().toImage(), "window_fbx_bottle.png");
    click(w, "geometry_visible");
    const QImage bare = w.viewport().grabFramebuffer();
    click(w, "geometry_visible");
    vec3 lo(1e9f, 1e9f, 1e9f), hi(-1e9f, -1e9f, -1e9f);
    for (size_t i = 0; i + 2 < w.viewport().geometry_vertices.size(); i += 3)
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], w.viewport().geometry_vertices[i + k]);
            hi[k] = std::max(hi[k], w.viewport().geometry_vertices[i + k]);
        }
    const QRect pixels = QRectF(project_point(w.viewport().current_projection(),
                                              w.viewport().width(), w.viewport().height(), lo),
                                project_point(w.viewport().current_projection(),
                                              w.viewport().width(), w.viewport().height(), hi))
                             .normalized()
                             .toRect();
    int covered = 0;
    for (int y = pixels.top(); y <= pixels.bottom(); ++y)
        for (int x = pixels.left(); x <= pixels.right(); ++x)
            if (shown.valid(x, y) && shown.pixel(x, y) != bare.pixel(x, y)) ++covered;
    EXPECT_GT(covered, 200) << "the bottle covers " << covered << " pixels";
    EXPECT_LT(pixels.width(), shown.width() / 2);  // a bottle among the particles, no wall

    // Shift+Home frames every frame's particles with the bottle; the frame stays.
    QTest::keyClick(&w, Qt::Key_Home, Qt::ShiftModifier);
    EXPECT_EQ(w.link().current_frame, 60);
    EXPECT_EQ(o.count("camera control / frame all"), 1);
    w.viewport().grabFramebuffer();
    const projection all = w.viewport().current_projection();
    int outside = 0;
    for (const auto& [number, fs] : w.scene()->frames)
        for (const auto& [id, particle] : fs.particles)
            if (!QRectF(0, 0, w.viewport().width(), w.viewport().height())
                     .contains(project_point(all, w.viewport().width(), w.viewport().height(),
                                             particle.position)))
                ++outside;
    EXPECT_EQ(outside, 0);

    // A scale typed by hand applies at once.
    auto* scale = w.findChild<QDoubleSpinBox*>("fbx_scale");
    scale->setValue(0.02);
    Q_EMIT scale->editingFinished();
    EXPECT_FLOAT_EQ(w.viewport().geometry_vertices[0], as_read.vertices[0] * 0.02f);
    EXPECT_EQ(o.count("fbx scale / 0.02"), 1);
    EXPECT_TRUE(w.status().message().contains("set by hand")) << w.status().message().toStdString();
    scale->setValue(0.01);
    Q_EMIT scale->editingFinished();

    // Another tool's scene in metres, its bottle exported in centimetres and its particles
    // sampled on the bottle as a cache: in the window the two lie on each other.
    const QString cache = dir.path() + "/pour";
    ASSERT_TRUE(QDir().mkpath(cache));
    const int count = int(as_read.vertices.size() / 3) / 7;
    QByteArray file(bin_header_size + 110 * count + bin_footer_size, '\0');
    bin_header header;
    header.particles = count;
    encode_bin_header(header, file.data());
    for (int i = 0; i < count; ++i) {
        char* record = file.data() + bin_header_size + 110 * i;
        for (int k = 0; k < 3; ++k) {
            const float metres = as_read.vertices[size_t(21 * i + k)] / 100.0f;
            std::memcpy(record + 4 * k, &metres, 4);
        }
        std::memcpy(record + 106, &i, 4);
    }
    QFile out(cache + "/pour.0000.bin");
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(file);
    out.close();
    w.shelf().ask_path = [cache](bool, const QString&) { return cache; };
    click(w, "cache_import");
    ASSERT_TRUE(o.wait_for_scene());
    const frame_set& poured = w.scene()->frame(0);
    ASSERT_EQ(int(poured.particles.size()), count);
    for (const auto& [id, p] : poured.particles) {
        const float* v = &w.viewport().geometry_vertices[size_t(21 * id)];
        EXPECT_LT(length(p.position - vec3(v[0], v[1], v[2])), 1e-6f) << id;
    }
}

TEST(FbxView, ImportedGeometryAndCameraComeBackAfterARestart) {
    QTemporaryDir dir;
    const QString bottle = write_fbx(dir, "bottle.fbx", fbx_test::bottle_scene());
    const QString orbit = write_fbx(dir, "orbit.fbx", fbx_test::orbit_camera_scene());
    int corners = 0;
    {
        open_window o;
        ASSERT_TRUE(o.started);
        import_through_panel(*o.w, "geometry", bottle);
        import_through_panel(*o.w, "camera", orbit);
        corners = o.w->viewport().geometry_count;
    }  // closing saves the settings
    ASSERT_GT(corners, 0);
    {
        open_window o(true);
        ASSERT_TRUE(o.started);
        EXPECT_TRUE(o.w->display().imported("geometry"));
        EXPECT_TRUE(o.w->display().imported("camera"));
        EXPECT_EQ(o.w->viewport().geometry_count, corners);
        EXPECT_EQ(o.w->viewport().scene_camera_keys.size(), 101u);
        EXPECT_TRUE(
            o.w->status().history().join("\n").contains("Restored the geometry of bottle.fbx"));
    }
    // A file gone since is told and forgotten; the other still comes back.
    QFile::remove(bottle);
    for (int start = 0; start < 2; ++start) {
        open_window o(true);
        ASSERT_TRUE(o.started);
        EXPECT_FALSE(o.w->display().imported("geometry"));
        EXPECT_TRUE(o.w->display().imported("camera"));
        EXPECT_EQ(o.count("geometry import / missing / "), start == 0 ? 1 : 0);
    }
}
