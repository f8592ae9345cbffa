#pragma once
// A stand-in for the main window around a viewport: a fake window link, one emitter, a brush
// and the panel values, all settable by a test (or the benchmark).

#include <memory>
#include <string>
#include <unordered_map>

#include "scene/emitter.h"
#include "base/strict.h"
#include "fake_window.h"
#include "view/brush.h"
#include "view/view_owner.h"

namespace kavrin::test {

class test_owner : public view_owner {
  public:
    fake_window window;
    std::unique_ptr<emitter> scene = std::make_unique<emitter>(false, &window);
    brush tool_brush{nullptr};
    std::unordered_map<std::string, bool> toggles{{"camera_animation", false},
                                                  {"geometry_visible", false},
                                                  {"camera_guide", false},
                                                  {"cache_display", false}};
    std::unordered_map<std::string, bool> imports{{"camera", false}, {"geometry", false}};
    bool is_playing = false;
    stroke_buttons pressed;
    int debug_level = 0;
    int size = 20;
    bool mode = false;
    bool redraw_needed = false;
    int timeline_redraws = 0;
    int onion = 0;

    // A frame made by hand, stepped once so that it has its octree, fields and pick boxes.
    scene_frame& add_frame(int number) { return scene->add_frame(number); }

    window_link& link() override { return window; }
    emitter* active_scene() const override { return scene.get(); }
    brush& tool() override { return tool_brush; }
    bool toggle(const std::string& name) const override {
        return strict_at(toggles, name, "the panel toggles");
    }
    bool imported(const std::string& kind) const override {
        return strict_at(imports, kind, "the import records");
    }
    bool playing() const override { return is_playing; }
    stroke_buttons held_buttons() const override { return pressed; }
    int show_debug() const override { return debug_level; }
    int particle_size() const override { return size; }
    bool camera_mode() const override { return mode; }
    void set_camera_mode(bool on) override { mode = on; }
    void redraw_timeline() override { ++timeline_redraws; }
    void redraw_soon() override { redraw_needed = true; }
    int onion_frames() const override { return onion; }
};

}  // namespace kavrin::test
