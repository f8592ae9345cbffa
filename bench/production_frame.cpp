#include "production_frame.h"

#include <random>

#include "scene/frame_schedule.h"
#include "figure.h"

namespace kavrin::bench {

void play_production_frame(test::fake_window& window, std::unique_ptr<emitter>& scene,
                           int particle_count, unsigned seed, int frame_count) {
    window.cpu_count = 2;
    for (int f = 0; f < frame_count; ++f)
        window.cache_files[f] = QString("synthetic.%1.bin").arg(f, 4, 10, QChar('0'));
    // Nine in ten particles fill a unit cube, the rest a sheet 0.002 thick under it.
    // Each frame is another draw of the same cloud.
    window.on_read = [particle_count, seed](emitter& e, int frame) {
        std::mt19937 rng(seed + unsigned(frame));
        std::uniform_real_distribution<float> unit(0.0f, 1.0f);
        frame_set& fs = e.frame(frame);
        fs.particles.reserve(size_t(particle_count));
        const int cloud = particle_count - particle_count / 10;
        for (int id = 0; id < particle_count; ++id) {
            vec3 p(unit(rng), unit(rng), unit(rng));
            if (id >= cloud)
                p = vec3(p[0] * 2.0f - 0.5f, -0.2f + p[1] * 0.002f, p[2] * 2.0f - 0.5f);
            fs.particles.try_emplace(id, id, p, 1.0f);
        }
    };
    scene = std::make_unique<emitter>(true, &window);
    scene->build();
    for (int f = 0; f < frame_count; ++f)
        build_frame(*scene, scene->frame(f), {f}, 0);
}

production_frame::production_frame(int particle_count, unsigned seed) {
    play_production_frame(window, scene, particle_count, seed);
}

double resident_bytes() {
    return resident_mb() * 1024.0 * 1024.0;
}

}  // namespace kavrin::bench
