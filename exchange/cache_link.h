#pragma once
// The cache records as the frame work loop uses them: a failure never leaves the worker, it
// becomes one log line ("cache save / error / <frame> / <message>" or "cache load / error /
// ...") and the frame stays as it was.

#include "core/emitter.h"
#include "core/window_link.h"
#include "exchange/script_bridge.h"

namespace kavrin {

// Writes one frame to its cache file; returns whether it was written (or had nothing to write).
bool write_cache_frame(const script_folders&, window_link& window, emitter& e, int frame);
// Fills one frame from its cache file; returns whether it was read. A failed read leaves the
// frame as it was, which for a frame being played back means without particles. Particles
// dropped for a repeated id are logged as "cache load / duplicate ids / <frame> / <count>".
bool read_cache_frame(const script_folders&, window_link& window, emitter& e, int frame);

}  // namespace kavrin
