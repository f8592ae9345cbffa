// Production-size figures: a synthetic frame of a million particles (and one of 100,000 for the
// grid passes), filled through the cache playback path, first-stepped, painted and stepped.
#include <cmath>
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

// A production frame of n particles, built and first-stepped once for all figures that use it.
struct production {
    double first_step_s = 0.0, first_step_cpu_s = 0.0, bytes_per_particle = 0.0;
    std::unique_ptr<production_frame> frame;

    explicit production(int n) {
        const double rss_before = resident_bytes();
        frame = std::make_unique<production_frame>(n);
        const double start = now_seconds(), cpu = cpu_seconds();
        step(frame->frame(), true, false);
        first_step_s = now_seconds() - start;
        first_step_cpu_s = cpu_seconds() - cpu;
        bytes_per_particle = (resident_bytes() - rss_before) / n;
        std::cerr << "first_step_" << n << ": cpu " << first_step_cpu_s << " s, "
                  << frame->frame().particles.size() << " particles\n";
    }
};
production& the_million() {
    static production m(1000000);
    return m;
}
production& the_ten_million() {
    static production m(10000000);
    return m;
}

// Live stroke steps of a grab brush at the middle of the cloud, its radius holding about a
// thousand particles (the cloud holds 900,000 of every million per unit of volume).
double stroke_step_ms(production& m, const char* figure) {
    const double per_unit = 0.9 * double(m.frame->frame().particles.size());
    test::fake_window& w = m.frame->window;
    emitter& e = *m.frame->scene;
    w.current_frame = 0;
    w.brush_state.type = brush_kind::grab;
    w.brush_state.power = 0.5f;
    w.brush_state.vector = vec3(0, 1, 0);
    w.camera_state.focal_mag = 3.0f;
    w.camera_state.brush_distance = 3.0f;
    // A sphere of radius r holds 4/3 pi r^3 per_unit particles: about a thousand.
    w.brush_state.space = float(std::cbrt(1000.0 / (4.18879 * per_unit)) / 3.0);
    w.view.set_pick_point(vec3(0.5f, 0.5f, 0.5f));
    std::vector<double> times, cpu;
    size_t touched = 0;
    for (int r = 0; r < 9; ++r) {
        w.view.busy = true;
        const double start = now_seconds(), c = cpu_seconds();
        e.current_particle(e.live_step_inputs());
        times.push_back((now_seconds() - start) * 1000.0);
        cpu.push_back((cpu_seconds() - c) * 1000.0);
        touched = std::max(touched, e.selection().size());
    }
    e.select(nullptr);
    std::cerr << figure << ": " << touched << " particles touched, cpu " << median(cpu) << " ms\n";
    return median(times);
}

add_figure first_step("first_step_1000000", "s", [] { return the_million().first_step_s; });
add_figure bytes("frame_1000000_bytes_per_particle", "B",
                 [] { return the_million().bytes_per_particle; });
add_figure stroke_step("stroke_step_1000000", "ms",
                       [] { return stroke_step_ms(the_million(), "stroke_step_1000000"); });
add_figure first_step_10m("first_step_10000000", "s",
                          [] { return the_ten_million().first_step_s; });
add_figure bytes_10m("frame_10000000_bytes_per_particle", "B",
                     [] { return the_ten_million().bytes_per_particle; });
add_figure stroke_step_10m("stroke_step_10000000", "ms", [] {
    return stroke_step_ms(the_ten_million(), "stroke_step_10000000");
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
                fs.mark_moved(p);
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
