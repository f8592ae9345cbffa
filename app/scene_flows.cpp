#include "app/scene_flows.h"

#include <array>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>

#include "app/kavrin.h"
#include "app/shelf_area.h"
#include "exchange/fbx_import.h"
#include "exchange/script_bridge.h"
#include "view/view3d.h"

namespace kavrin {

namespace {

script_folders folders_of(const kavrin& w) {
    return {w.app_dir, w.python_dir};
}

void hand_over(view3d& view, fbx_geometry& g) {
    QMutexLocker hold(view.geometry_lock.get());
    view.geometry_count = g.vertex_count;
    view.geometry_vertices.swap(g.vertices);
    view.geometry_normals.swap(g.normals);
}

void hand_over(view3d& view, const fbx_camera& c) {
    view.scene_camera_aspect = c.aspect;
    view.scene_camera_scale = c.scale;
    view.scene_camera_keys.clear();
    for (const auto& [frame, key] : c.keys) {
        // The import's matrix transforms row vectors, (p, 1) · M; the viewport's key transforms
        // column vectors, M · (p, 1): it keeps the transpose.
        scene_key k;
        for (int row = 0; row < 4; ++row)
            for (int col = 0; col < 4; ++col)
                k.matrix[row * 4 + col] = key.matrix[size_t(col * 4 + row)];
        k.fov = key.fov;
        view.scene_camera_keys.emplace(frame, k);
    }
}

}  // namespace

bool import_fbx_file(kavrin& window, shelf_area&, const QString& kind, const QString& path) {
    QString error;
    bool ok = false;
    if (kind == "geometry") {
        fbx_geometry g;
        ok = import_geometry(path, g, &error);
        if (ok) {
            const int count = g.vertex_count;
            hand_over(*window.viewport, g);
            window.log("geometry vertex count / " + QString::number(count));
        }
    } else {
        fbx_camera c;
        ok = import_camera(path, c, &error);
        if (ok) hand_over(*window.viewport, c);
    }
    if (!ok) {
        window.log(kind + " import / error");
        if (!error.isEmpty()) window.log(kind + " import / error / " + error);
        return false;
    }
    window.imports[kind.toStdString()] = true;
    window.viewport->update();
    return true;
}

void import_fbx(kavrin& window, shelf_area& panel, const QString& kind) {
    const std::string category = kind.toStdString();
    QString path;
    if (panel.select_path(false, panel.last_folder[category], path) &&
        path.mid(path.lastIndexOf('.') + 1) == "fbx" &&
        import_fbx_file(window, panel, kind, path)) {
        panel.last_folder[category] = QFileInfo(path).path() + "/";
        return;
    }
    window.log(kind + " import / cancel");
}

void sample_scene(kavrin& window, shelf_area& panel, const QString& name) {
    // Files of each category, in the panel's category order: cache, camera, geometry.
    static const std::map<QString, std::array<QString, 3>> samples{
        {"wine", {"wine", "wine_cam", "glass_bottle"}},
        {"fireball", {"fireball_low", "fireball_cam", ""}},
    };
    const auto sample = samples.find(name);
    if (sample == samples.end()) return;
    const script_folders folders = folders_of(window);
    QDir().mkpath(window.samples_dir);
    try {
        for (size_t i = 0; i < panel.categories.size(); ++i) {
            const QString category = QString::fromStdString(panel.categories[i]);
            const QString folder = window.samples_dir + category + "/";
            QDir().mkpath(folder);
            const QString archive = sample->second[i] + ".zip";
            const QString remote = window.web_folder + category + "/" + archive;
            if (!script::exist(folders, remote)) continue;
            const QString target = folder + archive;
            // What the archive holds: a cache folder named after it, or the model beside it
            // (only the extension changes, so a "zip" elsewhere in the path stays).
            const QString unpacked =
                category == "cache" ? target.chopped(4) : target.chopped(3) + "fbx";
            // An archive on disk was fetched before and is not fetched again; one whose unpacking
            // failed is unpacked again, and one that cannot be unpacked is removed, so that the
            // next click fetches it anew.
            if (!QFileInfo::exists(target)) script::get_put(folders, remote, target, true);
            if (!QFileInfo::exists(unpacked)) {
                try {
                    script::unzip(folders, target);
                } catch (const script_error&) {
                    QFile::remove(target);
                    throw;
                }
            }
            if (category == "cache") {
                if (panel.scan_cache(unpacked)) window.start_scene(true);
            } else {
                import_fbx_file(window, panel, category, unpacked);
            }
        }
    } catch (const script_error& e) {
        window.log("sample / error / " + name + " / " + QString::fromUtf8(e.what()));
    }
}

void software_update(kavrin& window) {
    const script_folders folders = folders_of(window);
    // The newest revision is what the server's package folder names in its file "latest".
    const QString latest_file = window.resource_dir + "latest";
    try {
        script::get_put(folders, window.package_folder + "latest", latest_file, true);
        QFile file(latest_file);
        if (file.open(QIODevice::ReadOnly)) {
            const QString latest = QString::fromUtf8(file.readAll()).trimmed();
            if (!latest.isEmpty()) window.latest_revision = latest;
        }
    } catch (const script_error& e) {
        window.log("update / error / " + QString::fromUtf8(e.what()));
    }
    if (window.latest_revision == window.revision) {
        window.log("update / no");
        return;
    }
    window.save_settings();
    QString text;
    try {
        text =
            script::update(folders, window.revision, window.latest_revision, window.package_folder);
    } catch (const script_error& e) {
        window.log("update / error / " + QString::fromUtf8(e.what()));
        return;
    }
    window.log("update / yes");
    const QString message =
        "Kavrin Rev." + window.latest_revision + " is sucessfly Downloded.\n" + text;
    QMessageBox box(QMessageBox::Warning, "Hi :D", message, QMessageBox::Ok, &window);
    box.setDetailedText(message);
    box.exec();
}

}  // namespace kavrin
