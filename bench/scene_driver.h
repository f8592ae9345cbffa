#pragma once
// Drives an emitter as the window's frame timer would, without the 100 ms between ticks.

#include <QThread>

#include "scene/emitter.h"

namespace kavrin::bench {

template <class Done>
void tick_until(emitter& e, Done done) {
    while (!done()) {
        e.tick();
        QThread::usleep(200);
    }
}

}  // namespace kavrin::bench
