// Production-size figures: a synthetic frame of a million particles (and one of 100,000 for the
// grid passes), filled through the cache playback path, first-stepped, painted and stepped.
#include <ctime>
#include <iostream>
#include <random>

#include "dynamics/frame_step.h"
#include "dynamics/grid_fields.h"
#include "figure.h"
#include "production_frame.h"

namespace kavrin::bench {
namespace {

double cpu_seconds() {
    return double(std::clock()) / CLOCKS_PER_SEC;
}

// The million-particle frame, built and first-stepped once for all figures that use it.
struct million {
    double first_step_s = 0.0, first_step_cpu_s = 0.0, bytes_per_particle = 0.0;
    std::unique_ptr<production_frame> frame;

    million() {
        const int n = 1000000;
        const double rss_before = resident_bytes();
        frame = std::make_unique<production_frame>(n);
        const double start = now_seconds(), cpu = cpu_seconds();
        step(frame->frame(), true, false);
        first_step_s = now_seconds() - start;
        first_step_cpu_s = cpu_seconds() - cpu;
        bytes_per_particle = (resident_bytes() - rss_before) / n;
        std::cerr << "first_step_1000000: cpu " << first_step_cpu_s << " s, "
                  << frame->frame().particles.size() << " particles\n";
    }
};
million& the_million() {
    static million m;
    return m;
}

add_figure first_step("first_step_1000000", "s", [] { return the_million().first_step_s; });
add_figure bytes("frame_1000000_bytes_per_particle", "B",
                 [] { return the_million().bytes_per_particle; });

// Live stroke steps of a grab brush at the middle of the cloud, its radius holding about a
// thousand particles (the cloud holds 900,000 per unit of volume).
add_figure stroke_step("stroke_step_1000000", "ms", [] {
    million& m = the_million();
    test::fake_window& w = m.frame->window;
    emitter& e = *m.frame->scene;
    w.current_frame = 0;
    w.brush_state.type = "grab";
    w.brush_state.power = 0.5f;
    w.brush_state.vector = vec3(0, 1, 0);
    w.camera_state.focal_mag = 3.0f;
    w.camera_state.brush_distance = 3.0f;
    w.brush_state.space = 0.0642f / 3.0f;
    w.view.set_pick_point(vec3(0.5f, 0.5f, 0.5f));
    std::vector<double> times, cpu;
    size_t touched = 0;
    for (int r = 0; r < 9; ++r) {
        w.view.busy = true;
        const double start = now_seconds(), c = cpu_seconds();
        e.current_particle();
        times.push_back((now_seconds() - start) * 1000.0);
        cpu.push_back((cpu_seconds() - c) * 1000.0);
        touched = std::max(touched, e.selection.size());
    }
    e.select(nullptr);
    std::cerr << "stroke_step_1000000: " << touched << " particles touched, cpu " << median(cpu)
              << " ms\n";
    return median(times);
});

add_figure moved1("step_1000000_moved1", "ms", [] {
    frame_set& fs = the_million().frame->frame();
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-0.01f, 0.01f);
    std::vector<double> times, cpu;
    for (int r = 0; r < 7; ++r) {
        int i = 0;
        for (auto& [id, p] : fs.particles)
            if (i++ % 100 == r) {
                p.position += vec3(u(rng), u(rng), u(rng));
                mark_moved(fs, p);
            }
        const double start = now_seconds(), c = cpu_seconds();
        step(fs, false, false);
        times.push_back((now_seconds() - start) * 1000.0);
        cpu.push_back((cpu_seconds() - c) * 1000.0);
    }
    std::cerr << "step_1000000_moved1: cpu " << median(cpu) << " ms\n";
    return median(times);
});

add_figure passes("field_passes_100000", "ms", [] {
    production_frame f(100000);
    step(f.frame(), true, false);
    auto measure = [&](bool sequential) {
        std::vector<double> times;
        for (int r = 0; r < 15; ++r) {
            const double start = now_seconds();
            field_passes(f.frame(), sequential);
            times.push_back((now_seconds() - start) * 1000.0);
        }
        return median(times);
    };
    const double sequential = measure(true);
    const double parallel = measure(false);
    std::cerr << "field_passes_100000: sequential " << sequential << " ms, parallel on "
              << f.window.cpu_count << " threads " << parallel << " ms\n";
    return parallel;
});

}  // namespace
}  // namespace kavrin::bench
