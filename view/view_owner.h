#pragma once
// What the viewport and the timeline need of the window that holds them. The main window
// implements it; tests and the benchmark use small stand-ins.

#include <string>

#include "scene/stroke_log.h"
#include "scene/window_link.h"

namespace kavrin {

class brush;
class emitter;

class view_owner {
  public:
    virtual ~view_owner() = default;

    virtual window_link& link() = 0;
    // The current emitter, or null. Replaced only on the GUI thread.
    virtual emitter* active_scene() const = 0;
    virtual brush& tool() = 0;
    // Checked state of a side-panel display toggle ("camera_animation", "geometry_visible",
    // "camera_guide", "cache_display"); another name throws the strict look-up error.
    virtual bool toggle(const std::string& name) const = 0;
    // Whether an FBX of that kind ("camera", "geometry") has been imported.
    virtual bool imported(const std::string& kind) const = 0;
    virtual bool playing() const = 0;
    // The stroke buttons as the artist left them: the hard brush, the timeline's side buttons
    // and the mirror brush.
    virtual stroke_buttons held_buttons() const = 0;
    virtual int show_debug() const = 0;
    virtual int particle_size() const = 0;
    // Camera mode: taken from "alt" at each press in the viewport, cleared at release.
    virtual bool camera_mode() const = 0;
    virtual void set_camera_mode(bool on) = 0;
    virtual void redraw_timeline() = 0;
    // The viewport and the timeline are redrawn at the window's next tick.
    virtual void redraw_soon() = 0;
    // Neighbouring frames that the onion skin draws faintly on each side of the current one;
    // 0 while it is off.
    virtual int onion_frames() const { return 0; }
    // The middle button steers the camera without Alt (orbit; Shift pans, Ctrl dollies);
    // otherwise it drags the brush size, and only Alt drags steer the camera.
    virtual bool middle_navigates() const { return false; }
    // A stroke ended or was cancelled: the scene's record of strokes changed.
    virtual void scene_edited() {}
};

}  // namespace kavrin
