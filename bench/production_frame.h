#pragma once
// A synthetic production-size frame: a dense uniform cloud and a thin sheet below it, seeded,
// filled through the cache playback path (an emitter playing a cache, the window's read seam).

#include <memory>

#include "scene/emitter.h"
#include "fake_window.h"

namespace kavrin::bench {

// Makes scene an emitter playing a cache of frame_count frames through window and plays them
// in: each a seeded cloud of particle_count particles, filled but not stepped yet.
void play_production_frame(test::fake_window& window, std::unique_ptr<emitter>& scene,
                           int particle_count, unsigned seed = 7, int frame_count = 1);

struct production_frame {
    test::fake_window window;
    std::unique_ptr<emitter> scene;

    // Builds the emitter and plays the frame in; the frame is filled but not stepped yet.
    explicit production_frame(int particle_count, unsigned seed = 7);
    frame_set& frame() { return scene->frame(0); }
};

// Resident memory of this process in bytes (VmRSS).
double resident_bytes();

}  // namespace kavrin::bench
