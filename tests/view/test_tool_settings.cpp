#include <gtest/gtest.h>

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
    s.type = "converge";
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
    ASSERT_TRUE(save_tool_settings(dir.path() + "/tool.ini", s));

    const tool_state r = load_tool_settings(dir.path() + "/tool.ini", dir.path() + "/none.ini");
    EXPECT_EQ(r.geometry, s.geometry);
    EXPECT_EQ(r.current, 42);
    EXPECT_FLOAT_EQ(r.power, s.power);
    EXPECT_FLOAT_EQ(r.time, s.time);
    EXPECT_FLOAT_EQ(r.space, s.space);
    EXPECT_EQ(r.type, "converge");
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
}

TEST(ToolSettings, TypeMissingOrUnknownSelectsScale) {
    QTemporaryDir dir;
    write(dir.path() + "/tool.ini", "[brush]\npower=0.5\n");
    EXPECT_EQ(load_tool_settings(dir.path() + "/tool.ini", "").type, "scale");
    write(dir.path() + "/tool.ini", "[brush]\ntype=paint\n");
    EXPECT_EQ(load_tool_settings(dir.path() + "/tool.ini", "").type, "scale");
}

TEST(ToolSettings, MissingOrEmptyToolFileFallsBackToDefaults) {
    QTemporaryDir dir;
    write(dir.path() + "/default.ini",
          "[brush]\ntype=normal\nspace=0.2\n[camera]\nfocal_mag=4.5\n");
    EXPECT_EQ(load_tool_settings(dir.path() + "/tool.ini", dir.path() + "/default.ini").type,
              "normal");
    write(dir.path() + "/tool.ini", "");
    const tool_state s = load_tool_settings(dir.path() + "/tool.ini", dir.path() + "/default.ini");
    EXPECT_EQ(s.type, "normal");
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
    EXPECT_EQ(s.type, "grab");
}
