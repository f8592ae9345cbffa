#include "app/scene_flows.h"

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>

#include "app/kavrin.h"
#include "app/shelf_area.h"
#include "exchange/fbx_import.h"
#include "exchange/script_bridge.h"
#include "view/tool_settings.h"
#include "view/view3d.h"

namespace kavrin {

namespace {

script_folders folders_of(const kavrin& w) {
    return {w.paths().app_dir, w.paths().python_dir};
}

// The viewport takes the imports multiplied by scale: positions scale, face normals do not.
void hand_over(view3d& view, const fbx_geometry& g, float scale) {
    std::vector<float> vertices(g.vertices);
    for (float& v : vertices)
        v *= scale;
    mutex_hold hold(view.geometry_lock);
    view.geometry_count = g.vertex_count;
    view.geometry_vertices.swap(vertices);
    view.geometry_normals = g.normals;
}

// A camera's keys move with the scene (their translation scales) and keep their axes unit long,
// so that the view's direction and lens stay as they were.
void hand_over(view3d& view, const fbx_camera& c, float scale) {
    view.scene_camera_aspect = c.aspect;
    view.scene_camera_scale = c.scale * scale;
    view.scene_camera_keys.clear();
    for (const auto& [frame, key] : c.keys) {
        // The import's matrix transforms row vectors, (p, 1) · M; the viewport's key transforms
        // column vectors, M · (p, 1): it keeps the transpose.
        scene_key k;
        for (int row = 0; row < 4; ++row)
            for (int col = 0; col < 4; ++col)
                k.matrix[row * 4 + col] = key.matrix[size_t(col * 4 + row)];
        for (int row = 0; row < 3; ++row)
            k.matrix[row * 4 + 3] *= scale;
        k.fov = key.fov;
        view.scene_camera_keys.emplace(frame, k);
    }
}

void show_fbx_imports(kavrin& window) {
    if (window.display().imported("geometry"))
        hand_over(window.viewport(), window.fbx().geometry, window.fbx().scale);
    if (window.display().imported("camera"))
        hand_over(window.viewport(), window.fbx().camera, window.fbx().scale);
    window.viewport().update();
}

QString unit_label(const QString& unit) {
    for (const length_unit& u : scene_units())
        if (unit == QLatin1String(u.name)) return u.label;
    return unit;
}

}  // namespace

QString fbx_scale_text(const kavrin& window) {
    const QString scale = "scale " + QString::number(window.fbx().scale, 'g', 6);
    if (window.fbx().scale == fbx_scale_for(window.fbx().scene_unit))
        return scale + (window.fbx().scene_unit == "cm"
                            ? ", the scene in centimetres"
                            : ", centimetres to " + unit_label(window.fbx().scene_unit));
    return scale + ", set by hand (scene in " + unit_label(window.fbx().scene_unit) + ")";
}

void set_scene_unit(kavrin& window, const QString& unit) {
    const float scale = fbx_scale_for(unit);
    if (scale == 0.0f || unit == window.fbx().scene_unit) return;
    window.fbx().scene_unit = unit;
    window.log("scene unit / " + unit);
    set_fbx_scale(window, scale);
}

void set_fbx_scale(kavrin& window, float scale) {
    scale = std::clamp(scale, fbx_scale_range[0], fbx_scale_range[1]);
    if (scale == window.fbx().scale) return;
    window.fbx().scale = scale;
    if (!window.display().imported("geometry") && !window.display().imported("camera")) return;
    show_fbx_imports(window);
    window.tell("FBX geometry and camera shown at " + fbx_scale_text(window));
}

bool import_fbx_file(kavrin& window, shelf_area&, const QString& kind, const QString& path) {
    QString error;
    bool ok = false;
    if (kind == "geometry") {
        fbx_geometry g;
        ok = import_geometry(path, g, &error);
        if (ok) {
            window.fbx().geometry = std::move(g);
            hand_over(window.viewport(), window.fbx().geometry, window.fbx().scale);
            window.log("geometry vertex count / " +
                       QString::number(window.fbx().geometry.vertex_count));
        }
    } else {
        fbx_camera c;
        ok = import_camera(path, c, &error);
        if (ok) {
            window.fbx().camera = std::move(c);
            hand_over(window.viewport(), window.fbx().camera, window.fbx().scale);
        }
    }
    if (!ok) {
        window.log(kind + " import / error");
        if (!error.isEmpty()) window.log(kind + " import / error / " + error);
        window.tell("FBX " + kind + " import failed" + (error.isEmpty() ? QString() : ": " + error) +
                    " (" + QFileInfo(path).fileName() + ")");
        return false;
    }
    window.log(kind + " import / scale / " + QString::number(window.fbx().scale, 'g', 6));
    window.display().set_imported(kind.toStdString());
    window.fbx().files[kind.toStdString()] = path;
    window.viewport().update();
    return true;
}

void restore_fbx_imports(kavrin& window, shelf_area& panel) {
    for (auto& [kind, path] : window.fbx().files) {
        if (path.isEmpty() || window.display().imported(kind)) continue;
        const QString k = QString::fromStdString(kind);
        const QString file = path;
        if (!QFileInfo::exists(file)) {
            path.clear();
            window.log(k + " import / missing / " + file);
            window.tell("The " + k + " of the last session is not restored: " + file + " is gone");
            continue;
        }
        path.clear();  // set again by a successful import
        if (import_fbx_file(window, panel, k, file))
            window.tell("Restored the " + k + " of " + QFileInfo(file).fileName() + " at " +
                        fbx_scale_text(window));
    }
}

void import_fbx(kavrin& window, shelf_area& panel, const QString& kind) {
    const std::string category = kind.toStdString();
    QString path;
    const bool chosen = panel.select_path(false, panel.last_folder[category], path);
    const bool fbx = chosen && path.mid(path.lastIndexOf('.') + 1) == "fbx";
    if (chosen && !fbx) window.tell("Not an FBX file: " + QFileInfo(path).fileName());
    if (fbx && import_fbx_file(window, panel, kind, path)) {
        panel.last_folder[category] = QFileInfo(path).path() + "/";
        window.tell("Imported the " + kind + " of " + QFileInfo(path).fileName() + " at " +
                    fbx_scale_text(window) + " (Display / FBX scale)");
        return;
    }
    window.log(kind + " import / cancel");
}

namespace {

// What the download of a sample found: per category, the unpacked file or folder to load (empty
// when the server has none), up to the first failure.
struct sample_fetch {
    std::array<QString, 3> unpacked;
    QString error;
};

// Downloads (once) and unpacks the files of a sample; runs off the GUI thread.
void fetch_sample(const script_folders& folders, const QString& samples_dir,
                  const QString& web_folder, const std::vector<std::string>& categories,
                  const std::array<QString, 3>& files, transfer_control& control,
                  sample_fetch& found) {
    QDir().mkpath(samples_dir);
    try {
        for (size_t i = 0; i < categories.size(); ++i) {
            const QString category = QString::fromStdString(categories[i]);
            const QString folder = samples_dir + category + "/";
            QDir().mkpath(folder);
            const QString archive = files[i] + ".zip";
            const QString remote = web_folder + category + "/" + archive;
            if (!script::exist(folders, remote, &control)) continue;
            const QString target = folder + archive;
            // What the archive holds: a cache folder named after it, or the model beside it
            // (only the extension changes, so a "zip" elsewhere in the path stays).
            const QString unpacked =
                category == "cache" ? target.chopped(4) : target.chopped(3) + "fbx";
            // An archive on disk was fetched before and is not fetched again (a download that
            // did not finish leaves none); one whose unpacking failed is unpacked again, and one
            // that cannot be unpacked is removed, so that the next click fetches it anew.
            if (!QFileInfo::exists(target))
                script::get_put(folders, remote, target, true, &control);
            if (!QFileInfo::exists(unpacked)) {
                try {
                    script::unzip(folders, target);
                } catch (const script_error&) {
                    QFile::remove(target);
                    throw;
                }
            }
            found.unpacked[i] = unpacked;
        }
    } catch (const script_error& e) {
        found.error = QString::fromUtf8(e.what());
    }
}

}  // namespace

void sample_scene(kavrin& window, shelf_area& panel, const QString& name) {
    // Files of each category, in the panel's category order: cache, camera, geometry.
    static const std::map<QString, std::array<QString, 3>> samples{
        {"wine", {"wine", "wine_cam", "glass_bottle"}},
        {"fireball", {"fireball_low", "fireball_cam", ""}},
    };
    const auto sample = samples.find(name);
    if (sample == samples.end()) return;
    auto found = std::make_shared<sample_fetch>();
    const std::array<QString, 3> files = sample->second;
    const std::vector<std::string> categories = panel.categories;
    window.run_transfer(
        "Sample scene " + name,
        [folders = folders_of(window), samples_dir = window.paths().samples_dir,
         web_folder = window.release().web_folder, categories, files,
         found](transfer_control& control) {
            fetch_sample(folders, samples_dir, web_folder, categories, files, control, *found);
        },
        [&window, &panel, name, categories, found] {
            // The cache first, so that the scene exists before its camera and geometry load.
            for (size_t i = 0; i < categories.size(); ++i) {
                const QString unpacked = found->unpacked[i];
                if (unpacked.isEmpty()) continue;
                if (categories[i] == "cache") {
                    if (panel.scan_cache(unpacked)) window.start_scene(true);
                } else {
                    import_fbx_file(window, panel, QString::fromStdString(categories[i]), unpacked);
                }
            }
            if (!found->error.isEmpty()) {
                window.log("sample / error / " + name + " / " + found->error);
                window.tell("Download of the sample " + name + " failed: " + found->error);
            }
        });
}

namespace {

// The package's newest revision as the server names it in "latest"; runs off the GUI thread.
void fetch_latest(const script_folders& folders, const QString& remote, const QString& file,
                  transfer_control& control, QString& latest, QString& error) {
    try {
        script::get_put(folders, remote, file, true, &control);
        QFile read(file);
        if (read.open(QIODevice::ReadOnly)) latest = QString::fromUtf8(read.readAll()).trimmed();
    } catch (const script_error& e) {
        error = QString::fromUtf8(e.what());
    }
}

void download_update(kavrin& window) {
    struct outcome {
        QString text, error;
    };
    auto got = std::make_shared<outcome>();
    window.run_transfer(
        "Kavrin Rev." + window.release().latest,
        [folders = folders_of(window), current = window.release().revision,
         latest = window.release().latest, package = window.release().package_folder,
         got](transfer_control& control) {
            try {
                got->text = script::update(folders, current, latest, package, &control);
            } catch (const script_error& e) {
                got->error = QString::fromUtf8(e.what());
            }
        },
        [&window, got] {
            if (!got->error.isEmpty()) {
                window.log("update / error / " + got->error);
                window.tell("Update download failed: " + got->error);
                return;
            }
            window.log("update / yes");
            const QString message =
                "Kavrin Rev." + window.release().latest + " is sucessfly Downloded.\n" + got->text;
            QMessageBox box(QMessageBox::Warning, "Hi :D", message, QMessageBox::Ok, &window);
            box.setDetailedText(message);
            box.exec();
        });
}

}  // namespace

void software_update(kavrin& window) {
    // The newest revision is what the server's package folder names in its file "latest".
    struct outcome {
        QString latest, error;
    };
    auto got = std::make_shared<outcome>();
    window.run_transfer(
        QString(),
        [folders = folders_of(window), remote = window.release().package_folder + "latest",
         file = window.paths().resource_dir + "latest", got](transfer_control& control) {
            fetch_latest(folders, remote, file, control, got->latest, got->error);
        },
        [&window, got] {
            if (!got->error.isEmpty()) {
                window.log("update / error / " + got->error);
                window.tell("Looking for an update failed: " + got->error);
            }
            if (!got->latest.isEmpty()) window.set_latest_release(got->latest);
            if (window.release().latest == window.release().revision) {
                window.log("update / no");
                if (got->error.isEmpty()) window.tell("Kavrin is up to date");
                return;
            }
            window.save_settings();
            download_update(window);
        });
}

}  // namespace kavrin
