// Scene figures: building, stepping, grid passes, strokes and undo, all headless.
#include <algorithm>
#include <iostream>
#include <memory>
#include <random>

#include <QThread>

#include "scene/emitter.h"
#include "dynamics/deform.h"
#include "dynamics/frame_step.h"
#include "dynamics/grid_fields.h"
#include "fake_window.h"
#include "figure.h"
#include "scene_driver.h"

namespace kavrin::bench {
namespace {

using test::fake_window;

struct built_scene {
    fake_window window;
    std::unique_ptr<emitter> scene;

    explicit built_scene(int scale) {
        window.generation_scale = scale;
        window.cpu_count = 1;
        scene = std::make_unique<emitter>(false, &window);
        scene->build();
        tick_until(*scene, [&] { return scene->built(); });
        scene->jobs.wait();
    }
};

double build_seconds(int scale) {
    const double start = now_seconds();
    built_scene s(scale);
    return now_seconds() - start;
}

// The "10000" scene, built once and shared by the figures that work on its last frame.
built_scene& big_scene() {
    static built_scene s(100);
    return s;
}

// A grab stroke under the brush at the centre of a frame touching about a thousand particles.
struct stroke_setup {
    fake_window& window;
    emitter& e;
    frame_set& fs;
    explicit stroke_setup(int frame)
        : window(big_scene().window), e(*big_scene().scene), fs(e.frame(frame)) {
        window.current_frame = frame;
        window.brush_state.type = brush_kind::grab;
        window.brush_state.power = 0.5f;
        window.brush_state.vector = vec3(0, 1, 0);
        window.brush_state.time = 10.0f;
        // Centre on the densest cell and grow the radius until ~1000 particles are inside.
        vec3 mean;
        for (auto& [id, p] : fs.particles)
            mean += p.position;
        mean /= float(fs.particles.size());
        window.view.set_pick_point(mean);
        window.camera_state.focal_mag = 3.0f;
        window.camera_state.brush_distance = 3.0f;
        float space = 0.005f;
        for (;; space *= 1.1f) {
            int inside = 0;
            for (auto& [id, p] : fs.particles)
                if (length(p.position - mean) <= space * 3.0f) ++inside;
            if (inside >= 1000) break;
        }
        window.brush_state.space = space;
    }
    void paint_step() {
        window.view.busy = true;
        e.current_particle(e.live_step_inputs());
    }
};

add_figure scene_100("scene_100_build", "s", [] { return build_seconds(1); });
add_figure scene_10000("scene_10000_build", "s", [] { return build_seconds(100); });
add_figure scene_rss("scene_10000_peak_rss", "MB", [] {
    big_scene();
    return peak_rss_mb();
});

add_figure step_moved("step_10000_moved10", "ms", [] {
    frame_set& fs = big_scene().scene->frame(99);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-0.01f, 0.01f);
    std::vector<double> times;
    for (int r = 0; r < 15; ++r) {
        int i = 0;
        for (auto& [id, p] : fs.particles)
            if (i++ % 10 == 0) {
                p.position += vec3(u(rng), u(rng), u(rng));
                fs.mark_moved(p);
            }
        const double start = now_seconds();
        step(fs, false, false);
        times.push_back((now_seconds() - start) * 1000.0);
    }
    return median(times);
});

add_figure passes("field_passes_10000", "ms", [] {
    frame_set& fs = big_scene().scene->frame(99);
    std::vector<double> times;
    for (int r = 0; r < 15; ++r) {
        const double start = now_seconds();
        field_passes(fs, false);
        times.push_back((now_seconds() - start) * 1000.0);
    }
    return median(times);
});

add_figure stroke_apply("stroke_apply_10000", "ms", [] {
    stroke_setup s(99);  // the frame with 10,000 particles
    std::vector<double> times;
    size_t touched = 0;
    for (int r = 0; r < 15; ++r) {
        const double start = now_seconds();
        s.paint_step();
        times.push_back((now_seconds() - start) * 1000.0);
        touched = std::max(touched, s.e.selection().size());
    }
    std::cerr << "stroke_apply_10000: " << touched << " particles touched\n";
    s.e.add_near();
    tick_until(s.e, [&] { return !s.e.spreading() && !s.e.has_pending_work(); });
    return median(times);
});

// One stroke with time 10 from add_near until the 20 frames it reached are settled, then its
// undo. Painted on frame 89 (9,000 particles), so that ten frames lie on either side.
double propagate_ms = 0.0, undo_ms = 0.0;
void propagate_and_undo() {
    stroke_setup s(89);
    for (int i = 0; i < 3; ++i)
        s.paint_step();
    double start = now_seconds();
    s.e.add_near();
    auto settled = [&] {
        if (s.e.spreading() || s.e.has_pending_work()) return false;
        for (int f = 79; f <= 99; ++f)
            if (!s.e.frame(f).settled) return false;
        return true;
    };
    tick_until(s.e, settled);
    propagate_ms = (now_seconds() - start) * 1000.0;
    int reached = 0;
    for (int f = 79; f <= 99; ++f)
        reached += s.e.frame(f).read_history().entries().empty() ? 0 : 1;
    std::cerr << "stroke_propagate_20: " << reached << " frames hold the stroke\n";
    start = now_seconds();
    s.e.undo();
    tick_until(s.e, [&] { return !s.e.has_pending_work(); });
    undo_ms = (now_seconds() - start) * 1000.0;
}
add_figure propagate("stroke_propagate_20", "ms", [] {
    propagate_and_undo();
    return propagate_ms;
});
add_figure undo_figure("undo_20", "ms", [] {
    if (propagate_ms == 0.0) propagate_and_undo();
    return undo_ms;
});

}  // namespace
}  // namespace kavrin::bench
