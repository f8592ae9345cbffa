#pragma once
// The side panel's flows that bring files in from outside: FBX geometry and camera, sample
// scenes from the download server, and the software update.

#include <map>
#include <string>

#include <QString>

#include "exchange/fbx_import.h"

namespace kavrin {

class kavrin;
class shelf_area;

// What the FBX imports brought, as read (in centimetres), and the files they came from by kind
// ("camera", "geometry"); the viewport shows them at scale, the scene units per centimetre that
// the scene unit gives unless the artist typed another (tool settings).
struct fbx_imports {
    fbx_geometry geometry;
    fbx_camera camera;
    std::map<std::string, QString> files{{"camera", ""}, {"geometry", ""}};
    QString scene_unit = "cm";
    float scale = 1.0f;
};

// How the window's FBX scale reads for the artist: "scale 0.01, centimetres to metres".
QString fbx_scale_text(const kavrin& window);
// A new scene unit (its factor becomes the scale; logged) or another scale: the imported
// geometry and camera are shown at once at the new scale, and the change is told.
void set_scene_unit(kavrin& window, const QString& unit);
void set_fbx_scale(kavrin& window, float scale);
// Imports again the files an earlier session imported (window.fbx().files); a file that is gone
// is told and forgotten.
void restore_fbx_imports(kavrin& window, shelf_area& panel);

// Asks for an FBX file of kind "camera" or "geometry" and imports it; logs kind + " import / "
// + "cancel" when nothing was imported.
void import_fbx(kavrin& window, shelf_area& panel, const QString& kind);
// Imports path as kind; false (logged as an error) when the file holds no such node.
bool import_fbx_file(kavrin& window, shelf_area& panel, const QString& kind, const QString& path);
// Downloads (once) and loads the sample scene "wine" or "fireball".
void sample_scene(kavrin& window, shelf_area& panel, const QString& name);
// Fetches a newer revision when the server has one, and tells the user.
void software_update(kavrin& window);

}  // namespace kavrin
