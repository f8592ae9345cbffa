#pragma once
// A stand-in for the main window whose stroke workers read the real brush and the viewport's
// camera, as the main window's do. It notes every brush read made off the GUI thread (one per
// "current particle" job) and can slow those reads down, so that tests see jobs overlap if they
// ever could.

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <QCoreApplication>
#include <QMutex>
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
    std::atomic<int> read_delay_ms{0};

    brush_values brush() const override {
        const brush_values v = tool ? tool->values() : brush_state;
        if (QThread::currentThread() == QCoreApplication::instance()->thread()) return v;
        const int inside = ++in_read_;
        int seen = max_in_read_.load();
        while (inside > seen && !max_in_read_.compare_exchange_weak(seen, inside)) {
        }
        {
            QMutexLocker hold(&reads_lock_);
            job_vectors_.push_back(v.vector);
            busy_during_job_.push_back(view.busy);
        }
        if (read_delay_ms > 0) QThread::msleep(unsigned(read_delay_ms.load()));
        --in_read_;
        return v;
    }
    camera_values camera() const override {
        return viewport ? viewport->camera_snapshot() : camera_state;
    }

    // Vectors that the jobs read, in order.
    std::vector<vec3> job_vectors() const {
        QMutexLocker hold(&reads_lock_);
        return job_vectors_;
    }
    // Whether busy was set while each job ran.
    std::vector<bool> busy_during_job() const {
        QMutexLocker hold(&reads_lock_);
        return busy_during_job_;
    }
    int most_jobs_at_once() const { return max_in_read_; }
    void forget_jobs() {
        QMutexLocker hold(&reads_lock_);
        job_vectors_.clear();
        busy_during_job_.clear();
        max_in_read_ = 0;
    }

  private:
    mutable QMutex reads_lock_;  // guards job_vectors_ and busy_during_job_: workers append
    mutable std::vector<vec3> job_vectors_;
    mutable std::vector<bool> busy_during_job_;
    mutable std::atomic<int> in_read_{0}, max_in_read_{0};
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
    bool mode = false;

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
    int show_debug() const override { return 0; }
    int particle_size() const override { return 20; }
    bool camera_mode() const override { return mode; }
    void set_camera_mode(bool on) override { mode = on; }
    void redraw_timeline() override {}

    void set_key(const char* name, bool held) {
        QMutexLocker hold(&window.key_lock);
        window.key_map.set(name, held);
    }
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
