#pragma once
// The running record of the scene's unsaved strokes, kept beside the tool settings so that a
// session that ended without closing (a crash, a kill) can be replayed onto the scene it began
// from: autosave.ini names that source, autosave.strokes.json is its stroke log.

#include <optional>
#include <vector>

#include <QString>

#include "scene/stroke_log.h"

namespace kavrin {

// What a scene was made from: a cache folder, or the built-in fountain with its size and the
// seed of the particles it emitted.
struct scene_source {
    bool from_cache = false;
    QString folder;  // cache folder
    int scale = 1;   // particles a frame of the fountain
    unsigned seed = 0;

    // "the cache <folder>" or "the fountain 100" / "the fountain 10000".
    QString describe() const;
};

struct autosave {
    scene_source source;
    std::vector<log_event> events;
};

// Writes both files into dir (each whole or not at all); false with *error on failure.
bool write_autosave(const QString& dir, const autosave& a, QString* error);
// The autosave in dir; nothing when there is none. A damaged one gives nothing and *error.
std::optional<autosave> read_autosave(const QString& dir, QString* error);
void remove_autosave(const QString& dir);

}  // namespace kavrin
