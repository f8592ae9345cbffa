#pragma once
// What the viewport and the timeline read of the main window: its scene, its brush, and the
// display state the artist sets around them (the side panel's toggles and FBX imports, the
// debug values, the stroke buttons, playing, the camera mode). The window owns one and keeps it
// up to date; GUI thread unless said.

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "app/scene_host.h"
#include "view/view_owner.h"

namespace kavrin {

class timeline;

class window_view : public view_owner {
  public:
    // edited is called when a stroke ends or is cancelled.
    window_view(scene_host& host, const std::unique_ptr<emitter>& scene,
                std::function<void()> edited);
    // The window's brush and timeline, once built.
    void attach(class brush* tool, timeline* strip);

    void set_toggle(const std::string& name, bool on) { toggles_[name] = on; }
    void set_imported(const std::string& kind) { imports_[kind] = true; }
    void set_playing(bool on) { playing_ = on; }
    void set_held_buttons(const stroke_buttons& buttons) { buttons_ = buttons; }
    // Neighbours the onion skin shows on each side while it is on (tool settings, 1 to 5).
    int onion_count() const { return onion_count_; }
    void set_onion_count(int count) { onion_count_ = count; }
    void set_middle_navigation(bool on) { middle_navigation_ = on; }

    // Debug panel values, written by its sliders; only the GUI thread reads them. Atomics only
    // because the sliders share one field type with the link's cpu_count and on_eat.
    std::atomic<int> show_debug_level{0};
    std::atomic<int> particle_size_value{20};

    // View owner.
    scene_host& link() override { return host_; }
    emitter* active_scene() const override { return scene_.get(); }
    class brush& tool() override {
        return *tool_;
    }
    bool toggle(const std::string& name) const override;
    bool imported(const std::string& kind) const override;
    bool playing() const override { return playing_; }
    stroke_buttons held_buttons() const override { return buttons_; }
    int show_debug() const override { return show_debug_level; }
    int particle_size() const override { return particle_size_value; }
    bool camera_mode() const override { return camera_mode_; }
    void set_camera_mode(bool on) override { camera_mode_ = on; }
    void redraw_timeline() override;
    void redraw_soon() override { host_.redraw_needed = true; }
    int onion_frames() const override;
    bool middle_navigates() const override { return middle_navigation_; }
    void scene_edited() override { edited_(); }

  private:
    scene_host& host_;
    const std::unique_ptr<emitter>& scene_;  // the window's current emitter
    const std::function<void()> edited_;
    class brush* tool_ = nullptr;
    timeline* strip_ = nullptr;

    // Checked states of the side panel's display toggles, kept by the panel's buttons.
    std::unordered_map<std::string, bool> toggles_{
        {"camera_animation", false}, {"geometry_visible", false}, {"camera_guide", true},
        {"cache_display", false},    {"cache_onion_skin", false}, {"brush_mirror", false}};
    // FBX imports done, by kind.
    std::unordered_map<std::string, bool> imports_{{"camera", false}, {"geometry", false}};
    bool playing_ = false;    // the "start" button is checked
    stroke_buttons buttons_;  // kept by the panel's and the timeline's buttons
    bool camera_mode_ = false;
    int onion_count_ = 2;
    // Tool settings: the middle button steers the camera.
    bool middle_navigation_ = true;
};

}  // namespace kavrin
