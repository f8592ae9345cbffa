#include "view/tool_settings.h"

#include <QFileInfo>

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
    // Floats that the file holds as text.
    void text_float(const QString& key, float& value) {
        if (!load_) return s_.setValue(key, value);
        bool ok = false;
        const float read = s_.value(key).toString().toFloat(&ok);
        if (ok) value = read;
    }
    void variant_float(const QString& key, float& value) {
        if (!load_) return s_.setValue(key, value);
        bool ok = false;
        const float read = s_.value(key).toFloat(&ok);
        if (s_.contains(key) && ok) value = read;
    }
    void text_int(const QString& key, int& value) {
        if (!load_) return s_.setValue(key, value);
        bool ok = false;
        const int read = s_.value(key).toString().toInt(&ok, 10);
        if (ok) value = read;
    }
    void truncated_int(const QString& key, int& value) {
        float f = float(value);
        text_float(key, f);
        value = int(f);
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

const QStringList& brush_modes() {
    static const QStringList modes{"normal", "grab", "converge", "remove", "scale"};
    return modes;
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
        const QString type = settings.value("type").toString();
        state.type = brush_modes().contains(type) ? type : brush_modes().last();
    } else {
        settings.setValue("type", state.type);
    }
    for (auto& [side, checked] : state.offsets)
        b.flag(QString::fromStdString("offset_" + side), checked);
    settings.endGroup();

    settings.beginGroup("timeline");
    b.text_float("view_scale", state.view_scale);
    b.text_float("view_translate", state.view_translate);
    settings.endGroup();

    settings.beginGroup("camera");
    b.text_float("focal_mag", state.camera.focal_mag);
    b.vector("position", state.camera.position);
    b.vector("focal_vect", state.camera.focal_vect);
    b.vector("focal_tangent", state.camera.focal_tangent);
    b.vector("focal_normal", state.camera.focal_normal);
    settings.endGroup();

    settings.beginGroup("toolbox");
    b.truncated_int("view_translate", state.toolbox_translate);
    for (auto& [category, dir] : state.dirs)
        b.text(QString::fromStdString(category + "_dir"), dir);
    for (auto& [name, checked] : state.toggles)
        b.flag(QString::fromStdString(name), checked);
    settings.endGroup();
}

tool_state load_tool_settings(const QString& tool_ini, const QString& default_ini) {
    // The defaults file first, so that what the tool file lacks or garbles keeps its default.
    tool_state state;
    for (const QString& path : {default_ini, tool_ini}) {
        const QFileInfo file(path);
        if (!file.exists() || file.size() == 0) continue;
        QSettings settings(path, QSettings::IniFormat);
        exchange_settings(settings, state, true);
    }
    return state;
}

bool save_tool_settings(const QString& tool_ini, const tool_state& state) {
    tool_state copy = state;
    {
        QSettings settings(tool_ini, QSettings::IniFormat);
        exchange_settings(settings, copy, false);
        settings.sync();
        if (settings.status() != QSettings::NoError) return false;
    }
    return true;
}

}  // namespace kavrin
