#pragma once
// The cache records as the frame work loop uses them: a failure never leaves the worker, it
// becomes one log line ("cache save / error / <frame> / <message>" or "cache load / error /
// ...") and a message for the artist, and the frame stays as it was.

#include "scene/emitter.h"
#include "scene/window_link.h"
#include "exchange/bin_file.h"
#include "exchange/script_bridge.h"

namespace kavrin {

// Writes one frame to its cache file. Returns the failure's log line, empty when it was written.
QString write_cache_frame(const script_folders&, window_link& window, emitter& e, int frame,
                          position_order order = position_order::file);
// Fills one frame from its cache file. Returns the failure's log line, empty when it was read;
// a failed read leaves the frame as it was, which for a frame being played back means without
// particles. Particles dropped for a repeated id are logged as "cache load / duplicate ids /
// <frame> / <count>".
QString read_cache_frame(const script_folders&, window_link& window, emitter& e, int frame,
                         position_order order = position_order::file);

}  // namespace kavrin
