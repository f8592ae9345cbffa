#include "view/tool_settings.h"

#include <algorithm>
#include <cmath>

#include <QFile>
#include <QFileInfo>

#include "view/brush.h"

namespace kavrin {

namespace {

// Moves one value between the file and the state in the direction asked for.
class binder {
  public:
    binder(QSettings& settings, bool load) : s_(settings), load_(load) {}

    void bytes(const QString& key, QByteArray& value) {
        if (!load_) return s_.setValue(key, value);
        if (s_.contains(key)) value = s_.value(key).toByteArray();
    }
    // Floats that the file holds as text. "nan" and "inf" parse, but no control can make
    // them: they count as damaged and keep the value already there.
    void text_float(const QString& key, float& value) {
        if (!load_) return s_.setValue(key, value);
        bool ok = false;
        const float read = s_.value(key).toString().toFloat(&ok);
        if (ok && std::isfinite(read)) value = read;
    }
    void variant_float(const QString& key, float& value) {
        if (!load_) return s_.setValue(key, value);
        bool ok = false;
        const float read = s_.value(key).toFloat(&ok);
        if (s_.contains(key) && ok && std::isfinite(read)) value = read;
    }
    void text_int(const QString& key, int& value) {
        if (!load_) return s_.setValue(key, value);
        bool ok = false;
        const int read = s_.value(key).toString().toInt(&ok, 10);
        if (ok) value = read;
    }
    // A float in the file, truncated to int; clamped first, since a float beyond the int
    // range has no int value at all.
    void truncated_int(const QString& key, int& value, float low, float high) {
        float f = float(value);
        text_float(key, f);
        value = int(std::clamp(f, low, high));
    }
    void flag(const QString& key, bool& value) {
        if (!load_) return s_.setValue(key, value);
        if (s_.contains(key)) value = s_.value(key).toBool();
    }
    void text(const QString& key, QString& value) {
        if (!load_) return s_.setValue(key, value);
        if (s_.contains(key)) value = s_.value(key).toString();
    }
    void vector(const QString& name, vec3& v) {
        text_float(name + "_x", v[0]);
        text_float(name + "_y", v[1]);
        text_float(name + "_z", v[2]);
    }

  private:
    QSettings& s_;
    const bool load_;
};

}  // namespace

bool usable_camera(const camera_state& c) {
    auto finite = [](const vec3& v) {
        return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
    };
    // The drags keep the viewing direction and the screen right unit long and give screen up a
    // y of -1, 0 or 1; a vector far from that length was not written by them.
    auto about_unit = [](const vec3& v) { return length(v) > 0.5f && length(v) < 1.5f; };
    if (!finite(c.position) || !finite(c.focal_vect) || !finite(c.focal_tangent) ||
        !finite(c.focal_normal) || !std::isfinite(c.focal_mag))
        return false;
    for (int i = 0; i < 3; ++i)
        if (std::abs(c.position[i]) > camera_position_limit) return false;
    return about_unit(c.focal_vect) && about_unit(c.focal_tangent) && about_unit(c.focal_normal);
}

void clamp_to_controls(tool_state& state, const tool_state& fallback) {
    if (!usable_camera(state.camera)) state.camera = fallback.camera;
    state.camera.focal_mag =
        std::clamp(state.camera.focal_mag, focal_mag_range[0], focal_mag_range[1]);
    state.power = std::clamp(state.power, 0.01f, 1.0f);
    state.time = std::clamp(state.time, 0.0001f, 10000.0f);
    state.space = clamped_space(state.space, state.camera.focal_mag);
    if (falloff_name(state.select_curve).isEmpty()) state.select_curve = fallback.select_curve;
    state.view_scale = std::clamp(state.view_scale, view_scale_range[0], view_scale_range[1]);
    state.view_translate =
        std::clamp(state.view_translate, -view_translate_limit, view_translate_limit);
    state.onion_frames =
        std::clamp(state.onion_frames, onion_frames_range[0], onion_frames_range[1]);
    if (fbx_scale_for(state.scene_unit) == 0.0f) state.scene_unit = fallback.scene_unit;
    state.fbx_scale = std::clamp(state.fbx_scale, fbx_scale_range[0], fbx_scale_range[1]);
}

const std::vector<length_unit>& scene_units() {
    static const std::vector<length_unit> units{{"mm", "millimetres", 0.1f},
                                                {"cm", "centimetres", 1.0f},
                                                {"m", "metres", 100.0f},
                                                {"in", "inches", 2.54f}};
    return units;
}

float fbx_scale_for(const QString& unit) {
    for (const length_unit& u : scene_units())
        if (unit == QLatin1String(u.name)) return 1.0f / u.centimetres;
    return 0.0f;
}

void exchange_settings(QSettings& settings, tool_state& state, bool load) {
    binder b(settings, load);

    settings.beginGroup("window");
    b.bytes("geometry", state.geometry);
    b.bytes("state", state.state);
    b.text_int("current", state.current);
    settings.endGroup();

    settings.beginGroup("brush");
    b.variant_float("power", state.power);
    b.variant_float("time", state.time);
    b.variant_float("space", state.space);
    if (load) {
        // A file naming no known type selects the last one.
        state.type =
            parse_brush_kind(settings.value("type").toString()).value_or(brush_kinds.back());
    } else {
        settings.setValue("type", QString(brush_name(state.type)));
    }
    for (auto& [side, checked] : state.offsets)
        b.flag(QString::fromStdString("offset_" + side), checked);
    b.text_int("falloff", state.select_curve);
    settings.endGroup();

    settings.beginGroup("timeline");
    b.text_float("view_scale", state.view_scale);
    b.text_float("view_translate", state.view_translate);
    b.flag("view_fit", state.view_fit);
    settings.endGroup();

    settings.beginGroup("camera");
    b.text_float("focal_mag", state.camera.focal_mag);
    b.flag("middle_navigation", state.middle_navigation);
    b.vector("position", state.camera.position);
    b.vector("focal_vect", state.camera.focal_vect);
    b.vector("focal_tangent", state.camera.focal_tangent);
    b.vector("focal_normal", state.camera.focal_normal);
    settings.endGroup();

    settings.beginGroup("toolbox");
    b.truncated_int("view_translate", state.toolbox_translate, -panel_offset_limit,
                    panel_offset_limit);
    for (auto& [category, dir] : state.dirs)
        b.text(QString::fromStdString(category + "_dir"), dir);
    for (auto& [name, checked] : state.toggles)
        b.flag(QString::fromStdString(name), checked);
    b.text_int("onion_frames", state.onion_frames);
    settings.endGroup();

    settings.beginGroup("fbx");
    b.text("scene_unit", state.scene_unit);
    b.text_float("scale", state.fbx_scale);
    for (auto& [kind, file] : state.fbx_files)
        b.text(QString::fromStdString(kind + "_file"), file);
    settings.endGroup();
}

tool_state load_tool_settings(const QString& tool_ini, const QString& default_ini) {
    // The defaults file first, so that what the tool file lacks or garbles keeps its default;
    // each file's values are brought within the controls' ranges before the next is read.
    const tool_state built_in;
    tool_state state;
    for (const QString& path : {default_ini, tool_ini}) {
        const QFileInfo file(path);
        if (!file.exists() || file.size() == 0) continue;
        const tool_state before = state;
        QSettings settings(path, QSettings::IniFormat);
        exchange_settings(settings, state, true);
        clamp_to_controls(state, usable_camera(before.camera) ? before : built_in);
    }
    return state;
}

bool save_tool_settings(const QString& tool_ini, const tool_state& state) {
    // Written afresh beside the file and then put in its place: QSettings would merge into a
    // damaged file and report the damage it read as a failure to write, and a write that
    // fails halfway must not cost the settings that were there.
    const QString fresh = tool_ini + ".new";
    QFile::remove(fresh);
    tool_state copy = state;
    {
        QSettings settings(fresh, QSettings::IniFormat);
        exchange_settings(settings, copy, false);
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            QFile::remove(fresh);
            return false;
        }
    }
    QFile::remove(tool_ini);
    return QFile::rename(fresh, tool_ini);
}

}  // namespace kavrin
