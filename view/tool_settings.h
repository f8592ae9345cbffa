#pragma once
// The tool state that survives between runs, and its INI file: one routine reads and writes
// the same groups and keys in the same order.

#include <map>
#include <string>
#include <vector>

#include <QByteArray>
#include <QEasingCurve>
#include <QSettings>
#include <QString>
#include <QStringList>

#include "base/brush_kind.h"
#include "view/camera.h"

namespace kavrin {

struct tool_state {
    QByteArray geometry;  // main window geometry and dock state
    QByteArray state;
    int current = 0;  // current frame

    float power = 0.5f;
    float time = 5.0f;
    float space = 0.08f;
    brush_kind type = brush_kind::grab;
    int select_curve = QEasingCurve::InOutSine;  // the brush's falloff, one of falloffs()
    std::map<std::string, bool> offsets{{"left", false},
                                        {"right", false}};  // timeline side buttons

    float view_scale = 10.0f;  // timeline pixels per frame
    float view_translate = 0.0f;
    bool view_fit = true;  // the strip fits the scene's frames (until the artist zooms or pans)

    camera_state camera;
    // The middle button steers the camera (orbit, Shift pan, Ctrl dolly); off: Alt drags only,
    // and the middle button drags the brush size.
    bool middle_navigation = true;

    int toolbox_translate = 0;  // side panel scroll offset
    std::map<std::string, QString> dirs{{"cache", ""}, {"camera", ""}, {"geometry", ""}};
    std::map<std::string, bool> toggles{{"camera_animation", false}, {"geometry_visible", true},
                                        {"camera_guide", true},      {"cache_display", false},
                                        {"cache_onion_skin", false}, {"brush_mirror", false}};
    int onion_frames = 2;  // neighbours the onion skin shows on each side

    // The unit of the scene's particles, and the scene units per centimetre that FBX geometry
    // and cameras (read in centimetres) are multiplied by: the unit's own factor unless the
    // artist typed another.
    QString scene_unit = "cm";
    float fbx_scale = 1.0f;
    // The FBX files imported last ("camera", "geometry"), imported again at start.
    std::map<std::string, QString> fbx_files{{"camera", ""}, {"geometry", ""}};
};

// A unit the scene's particles can be in: its name in the settings, its name for the artist,
// and how many centimetres one of it is.
struct length_unit {
    const char* name;
    const char* label;
    float centimetres;
};
// mm, cm, m, in; the first listed is the smallest.
const std::vector<length_unit>& scene_units();
// Scene units per centimetre for a unit's name; 0 for a name not listed.
float fbx_scale_for(const QString& unit);

// Ranges of the values that the controls allow, beyond what their drags check themselves.
// The timeline's zoom is refused above 100 pixels a frame and when it would show more than 5000
// frames, 0.5 pixels a frame on the widest screens.
constexpr float view_scale_range[2] = {0.5f, 100.0f};
// Offsets and positions of drags that move without bound; a stored value must stay far inside
// the float-to-int range.
constexpr float view_translate_limit = 1.0e6f;
constexpr float panel_offset_limit = 1.0e6f;
constexpr float camera_position_limit = 1.0e6f;
constexpr float focal_mag_range[2] = {0.001f, 1.0e5f};
constexpr int onion_frames_range[2] = {1, 5};
constexpr float fbx_scale_range[2] = {1.0e-6f, 1.0e6f};

// Whether a stored camera can be looked through: finite, not absurdly far away, and with
// direction vectors of about unit length.
bool usable_camera(const camera_state& c);
// Brings every value within the range of its control; a camera that cannot be used is replaced
// by the fallback's.
void clamp_to_controls(tool_state& state, const tool_state& fallback);

// Reads (load) or writes the state through settings. Reading keeps the value in state for a key
// that is missing or does not parse, so a damaged file loses only what is damaged; a type that
// is missing or unknown becomes "scale".
void exchange_settings(QSettings& settings, tool_state& state, bool load);

// The state from default_ini, overlaid by tool_ini unless that is missing or empty; values that
// neither file gives keep the built-in defaults of tool_state. The type comes from the last file
// read. Values that are not finite keep what was there before; the rest are clamped to their
// controls' ranges.
tool_state load_tool_settings(const QString& tool_ini, const QString& default_ini);
// Writes the state to tool_ini; false when the file could not be written.
bool save_tool_settings(const QString& tool_ini, const tool_state& state);

}  // namespace kavrin
