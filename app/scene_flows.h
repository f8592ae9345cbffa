#pragma once
// The side panel's flows that bring files in from outside: FBX geometry and camera, sample
// scenes from the download server, and the software update.

#include <QString>

namespace kavrin {

class kavrin;
class shelf_area;

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
