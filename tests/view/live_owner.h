#pragma once
// A stand-in for the main window whose stroke steps take the real brush and the viewport's
// camera, as the main window's do, and a way to make those steps slow.

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <QCoreApplication>
#include <QTest>
#include <QThread>

#include "scene/emitter.h"
#include "base/strict.h"
#include "fake_window.h"
#include "view/brush.h"
#include "view/view3d.h"
#include "view/view_owner.h"

namespace kavrin::test {

class live_window : public fake_window {
  public:
    class brush* tool = nullptr;
    view3d* viewport = nullptr;

    brush_values brush() const override { return tool ? tool->values() : brush_state; }
    camera_values camera() const override {
        return viewport ? viewport->camera_snapshot() : camera_state;
    }
};

// Holds a frame's eat lock for `ms` at a time with short breaks, as a slow background worker
// would, so that each stroke step on the frame waits a while.
class frame_holder {
  public:
    frame_holder(frame_set& fs, int ms)
        : thread_([this, &fs, ms] {
              while (!stop_) {
                  {
                      const std::unique_lock<mutex> hold = fs.hold_particles();
                      for (int i = 0; i < ms && !stop_; ++i)
                          QThread::msleep(1);
                  }
                  QThread::msleep(1);
              }
          }) {}
    ~frame_holder() {
        stop_ = true;
        thread_.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class live_owner : public view_owner {
  public:
    live_window window;
    std::unique_ptr<emitter> scene = std::make_unique<emitter>(false, &window);
    class brush tool_brush {
        nullptr
    };
    std::unordered_map<std::string, bool> toggles{{"camera_animation", false},
                                                  {"geometry_visible", false},
                                                  {"camera_guide", false},
                                                  {"cache_display", false}};
    std::unordered_map<std::string, bool> imports{{"camera", false}, {"geometry", false}};
    bool is_playing = false;
    stroke_buttons pressed;
    bool mode = false;
    bool redraw_needed = false;
    size_t forgotten_ = 0;  // steps before the last forget_jobs

    live_owner() { window.tool = &tool_brush; }

    window_link& link() override { return window; }
    emitter* active_scene() const override { return scene.get(); }
    class brush& tool() override {
        return tool_brush;
    }
    bool toggle(const std::string& name) const override {
        return strict_at(toggles, name, "the panel toggles");
    }
    bool imported(const std::string& kind) const override {
        return strict_at(imports, kind, "the import records");
    }
    bool playing() const override { return is_playing; }
    stroke_buttons held_buttons() const override { return pressed; }
    int show_debug() const override { return 0; }
    int particle_size() const override { return 20; }
    bool camera_mode() const override { return mode; }
    void set_camera_mode(bool on) override { mode = on; }
    void redraw_timeline() override {}
    void redraw_soon() override { redraw_needed = true; }

    // The brush vector of each stroke step since the last forget_jobs, in order, as the
    // scene's record of strokes holds what each step took.
    std::vector<vec3> job_vectors() const {
        std::vector<vec3> out;
        for (const log_event& event : scene->recorder.events())
            for (const step_inputs& step : event.steps)
                out.push_back(step.brush.vector);
        out.erase(out.begin(), out.begin() + std::min(out.size(), forgotten_));
        return out;
    }
    void forget_jobs() { forgotten_ += job_vectors().size(); }

    void set_key(const char* name, bool held) { window.set_key(name, held); }
};

// The built-in fountain of one particle a frame ("100"), built and stepped as the window's
// timer would; false if it did not finish.
inline bool build_fountain(live_owner& owner) {
    owner.window.generation_scale = 1;
    owner.scene->build();
    emitter& e = *owner.scene;
    return tick_until(e, [&] { return e.built() && !e.has_pending_work(); });
}

// Every particle position of a frame, by id.
inline std::map<int, vec3> positions_of(const frame_set& fs) {
    std::map<int, vec3> out;
    for (const auto& [id, p] : fs.particles)
        out[id] = p.position;
    return out;
}

// Largest distance a particle of the frame moved from before.
inline float moved_most(const frame_set& fs, const std::map<int, vec3>& before) {
    float most = 0.0f;
    for (const auto& [id, p] : fs.particles) {
        auto it = before.find(id);
        if (it != before.end()) most = std::max(most, length(p.position - it->second));
    }
    return most;
}

}  // namespace kavrin::test
