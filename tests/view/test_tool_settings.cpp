#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include <QFile>
#include <QTemporaryDir>

#include "view/tool_settings.h"

using namespace kavrin;

namespace {

void write(const QString& path, const char* text) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
}

}  // namespace

TEST(ToolSettings, SaveThenLoadReproducesTheToolState) {
    QTemporaryDir dir;
    tool_state s;
    s.geometry = QByteArray("\x01\x02geo", 5);
    s.current = 42;
    s.power = 0.37f;
    s.time = 7.25f;
    s.space = 0.0123f;
    s.type = brush_kind::converge;
    s.offsets["right"] = true;
    s.view_scale = 3.5f;
    s.view_translate = 640.25f;
    s.camera.focal_mag = 2.75f;
    s.camera.position = vec3(0.1f, -2.5f, 3.125f);
    s.camera.focal_vect = vec3(0.0f, -0.6f, -0.8f);
    s.camera.focal_tangent = vec3(1, 0, 0);
    s.camera.focal_normal = vec3(0.0f, 0.8f, -0.6f);
    s.toolbox_translate = -120;
    s.dirs["cache"] = "/data/caches/";
    s.toggles["cache_display"] = true;
    s.toggles["camera_guide"] = false;
    s.toggles["brush_mirror"] = true;
    s.onion_frames = 3;
    ASSERT_TRUE(save_tool_settings(dir.path() + "/tool.ini", s));

    const tool_state r = load_tool_settings(dir.path() + "/tool.ini", dir.path() + "/none.ini");
    EXPECT_EQ(r.geometry, s.geometry);
    EXPECT_EQ(r.current, 42);
    EXPECT_FLOAT_EQ(r.power, s.power);
    EXPECT_FLOAT_EQ(r.time, s.time);
    EXPECT_FLOAT_EQ(r.space, s.space);
    EXPECT_EQ(r.type, brush_kind::converge);
    EXPECT_TRUE(r.offsets.at("right"));
    EXPECT_FALSE(r.offsets.at("left"));
    EXPECT_FLOAT_EQ(r.view_scale, 3.5f);
    EXPECT_FLOAT_EQ(r.view_translate, 640.25f);
    EXPECT_FLOAT_EQ(r.camera.focal_mag, 2.75f);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FLOAT_EQ(r.camera.position[i], s.camera.position[i]);
        EXPECT_FLOAT_EQ(r.camera.focal_vect[i], s.camera.focal_vect[i]);
        EXPECT_FLOAT_EQ(r.camera.focal_normal[i], s.camera.focal_normal[i]);
    }
    EXPECT_EQ(r.toolbox_translate, -120);
    EXPECT_EQ(r.dirs.at("cache"), "/data/caches/");
    EXPECT_TRUE(r.toggles.at("cache_display"));
    EXPECT_FALSE(r.toggles.at("camera_guide"));
    EXPECT_TRUE(r.toggles.at("brush_mirror"));
    EXPECT_FALSE(r.toggles.at("cache_onion_skin"));
    EXPECT_EQ(r.onion_frames, 3);
}

TEST(ToolSettings, TypeMissingOrUnknownSelectsScale) {
    QTemporaryDir dir;
    write(dir.path() + "/tool.ini", "[brush]\npower=0.5\n");
    EXPECT_EQ(load_tool_settings(dir.path() + "/tool.ini", "").type, brush_kind::scale);
    write(dir.path() + "/tool.ini", "[brush]\ntype=paint\n");
    EXPECT_EQ(load_tool_settings(dir.path() + "/tool.ini", "").type, brush_kind::scale);
}

TEST(ToolSettings, MissingOrEmptyToolFileFallsBackToDefaults) {
    QTemporaryDir dir;
    write(dir.path() + "/default.ini",
          "[brush]\ntype=normal\nspace=0.2\n[camera]\nfocal_mag=4.5\n");
    EXPECT_EQ(load_tool_settings(dir.path() + "/tool.ini", dir.path() + "/default.ini").type,
              brush_kind::normal);
    write(dir.path() + "/tool.ini", "");
    const tool_state s = load_tool_settings(dir.path() + "/tool.ini", dir.path() + "/default.ini");
    EXPECT_EQ(s.type, brush_kind::normal);
    EXPECT_FLOAT_EQ(s.space, 0.2f);
    EXPECT_FLOAT_EQ(s.camera.focal_mag, 4.5f);
}

TEST(ToolSettings, BrokenValuesKeepTheirDefaults) {
    QTemporaryDir dir;
    write(dir.path() + "/default.ini", "[camera]\nfocal_mag=4.5\nposition_y=2\n");
    write(dir.path() + "/tool.ini",
          "[window]\ncurrent=twelve\n[brush]\ntype=grab\npower=strong\n"
          "[camera]\nfocal_mag=abc\nposition_x=1.5\n[timeline]\nview_scale=\n");
    const tool_state s = load_tool_settings(dir.path() + "/tool.ini", dir.path() + "/default.ini");
    const tool_state built_in;
    EXPECT_EQ(s.current, 0);
    EXPECT_FLOAT_EQ(s.power, built_in.power);
    EXPECT_FLOAT_EQ(s.camera.focal_mag, 4.5f);  // garbled in tool.ini: the default file's value
    EXPECT_FLOAT_EQ(s.camera.position[0], 1.5f);
    EXPECT_FLOAT_EQ(s.camera.position[1], 2.0f);
    EXPECT_FLOAT_EQ(s.camera.position[2], built_in.camera.position[2]);
    EXPECT_FLOAT_EQ(s.view_scale, built_in.view_scale);
    EXPECT_EQ(s.type, brush_kind::grab);
}

TEST(ToolSettings, DamagedValuesAreClampedToTheirControlsAndWrittenBackCleanly) {
    QTemporaryDir dir;
    const QString tool = dir.path() + "/tool.ini", defaults = dir.path() + "/default.ini";
    write(defaults, "[brush]\npower=0.4\ntime=6\n[camera]\nfocal_mag=2\n");
    const tool_state built_in;
    const char* damaged[] = {
        "[brush]\npower=nan\ntime=inf\nspace=-inf\n",
        "[brush]\npower=1e30\ntime=2.1e9\nspace=1e30\n[camera]\nfocal_mag=1e-30\n",
        "[brush]\npower=-5\ntime=-1\nspace=0\n[timeline]\nview_scale=0\nview_translate=1e38\n",
        "[timeline]\nview_scale=-inf\nview_translate=-1e38\n[toolbox]\nview_translate=1e38\n",
        "[toolbox]\nview_translate=-1e38\n[camera]\nposition_x=1e37\nfocal_mag=inf\n",
        "[camera]\nfocal_vect_x=0\nfocal_vect_y=0\nfocal_vect_z=0\nfocal_tangent_x=nan\n",
        "[camera]\nfocal_normal_x=1e20\nfocal_mag=-3\n[timeline]\nview_scale=1e9\n",
        "[brush\npower=\x01\x02\n==\n[camera]\nposition_y=--1\n",
        "[toolbox]\nonion_frames=0\n",
        "[toolbox]\nonion_frames=-2147483648\n",
        "[toolbox]\nonion_frames=40\n",
    };
    for (const char* text : damaged) {
        SCOPED_TRACE(text);
        write(tool, text);
        const tool_state s = load_tool_settings(tool, defaults);
        EXPECT_TRUE(usable_camera(s.camera));
        EXPECT_GE(s.camera.focal_mag, focal_mag_range[0]);
        EXPECT_LE(s.camera.focal_mag, focal_mag_range[1]);
        EXPECT_GE(s.power, 0.01f);
        EXPECT_LE(s.power, 1.0f);
        EXPECT_GE(s.time, 0.0001f);
        EXPECT_LE(s.time, 10000.0f);
        EXPECT_GE(s.space, 0.01f);
        EXPECT_LE(s.space, std::max(0.01f, 0.5f * s.camera.focal_mag));
        EXPECT_GE(s.view_scale, view_scale_range[0]);
        EXPECT_LE(s.view_scale, view_scale_range[1]);
        EXPECT_LE(std::abs(s.view_translate), view_translate_limit);
        EXPECT_LE(std::abs(float(s.toolbox_translate)), panel_offset_limit);
        EXPECT_GE(s.onion_frames, onion_frames_range[0]);
        EXPECT_LE(s.onion_frames, onion_frames_range[1]);

        // What a damaged file loads is written back without error and reads back unchanged.
        ASSERT_TRUE(save_tool_settings(tool, s));
        const tool_state again = load_tool_settings(tool, defaults);
        EXPECT_FLOAT_EQ(again.power, s.power);
        EXPECT_FLOAT_EQ(again.time, s.time);
        EXPECT_FLOAT_EQ(again.space, s.space);
        EXPECT_FLOAT_EQ(again.view_scale, s.view_scale);
        EXPECT_EQ(again.toolbox_translate, s.toolbox_translate);
        EXPECT_FLOAT_EQ(again.camera.focal_mag, s.camera.focal_mag);
    }
    // A value that is not finite keeps the default file's; an unusable camera is the default's.
    write(tool, "[brush]\npower=nan\n[camera]\nfocal_vect_x=0\nfocal_vect_y=0\nfocal_vect_z=0\n");
    const tool_state s = load_tool_settings(tool, defaults);
    EXPECT_FLOAT_EQ(s.power, 0.4f);
    EXPECT_FLOAT_EQ(s.camera.focal_mag, 2.0f);
    EXPECT_EQ(s.camera.focal_vect, built_in.camera.focal_vect);
}
