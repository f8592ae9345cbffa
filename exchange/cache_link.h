#pragma once
// The cache records as the frame work loop uses them: a failure never leaves the worker, it
// becomes a cache_failure value, one log line ("cache save / error / <frame> / <message>" or
// "cache load / error / ...") and a message for the artist, and the frame stays as it was.

#include <optional>

#include <QString>

#include "scene/emitter.h"
#include "scene/window_link.h"
#include "exchange/bin_file.h"
#include "exchange/script_bridge.h"

namespace kavrin {

// A frame that could not be read from or written to its cache file.
struct cache_failure {
    enum class kind { load, save };
    kind what = kind::load;
    QString message;  // why, as the reader or writer said it (naming the file and the check)
    QString file;     // the cache file concerned: the one refused, else the frame's own
    int frame = 0;
};

// The failure's log line: "cache load / error / <frame> / <message>" (or "cache save").
QString log_line(const cache_failure& failure);

// Writes one frame to its cache file; the failure, if it was not written.
std::optional<cache_failure> write_cache_frame(const script_folders&, window_link& window,
                                               emitter& e, int frame,
                                               position_order order = position_order::file);
// Fills one frame from its cache file; the failure, if it was not read. A failed read leaves
// the frame as it was, which for a frame being played back means without particles. Particles
// dropped for a repeated id are logged as "cache load / duplicate ids / <frame> / <count>".
std::optional<cache_failure> read_cache_frame(const script_folders&, window_link& window,
                                              emitter& e, int frame,
                                              position_order order = position_order::file);

}  // namespace kavrin
