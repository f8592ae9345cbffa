#pragma once
// The record of what was done to a scene since it was opened: every stroke with the inputs of
// each of its steps, the values a script set, and the undo, redo, cancel and trim events, in the
// order they took effect.
// The emitter keeps one; it is saved beside a cache as JSON and replayed without a window.

#include <cstdint>
#include <optional>
#include <vector>

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include "base/brush_kind.h"
#include "base/key_state.h"
#include "base/mutex.h"
#include "base/vec3.h"
#include "scene/window_link.h"

namespace kavrin {

// The window's stroke buttons as a step or a stroke's end takes them: the host does not hold
// them, each stroke carries its own.
struct stroke_buttons {
    bool hard = false;                           // "brush_hard": no falloff inside the brush
    bool side_left = false, side_right = false;  // side buttons stretching the brush in time
    bool mirror = false;  // strokes also brush their mirror image across x = 0
};

// Everything one "current particle" step read, as it read it.
struct step_inputs {
    int frame = 0;  // the frame the stroke paints
    brush_values brush;
    camera_values camera;
    key_state keys = key_state::released();  // the stroke's copy of the modifier keys
    vec3 pick;                               // centre of the particle search
    bool hard = false;                       // "brush_hard": no falloff inside the brush
    bool side_left = false, side_right = false;
    bool mirror = false;  // the stroke is also applied mirrored across x = 0

    bool operator==(const step_inputs& o) const;
};

// What the end of a stroke (add_near) read: the near list's inputs, and whether a step drew.
struct stroke_end {
    bool drew = false;
    float time = 1.0f;
    int near_curve = QEasingCurve::InOutSine;
    bool side_left = false, side_right = false;

    bool operator==(const stroke_end& o) const;
};

enum class event_kind { stroke, undo, redo, cancel, trim, set };

// The particle value a set event gives: "position", "scale" or "weight".
// The particle value a "set" event writes: the one a brush kind changes.
using set_channel = brush_channel;
QString set_channel_name(set_channel channel);
// Values per particle: 3 for a position, else 1.
int set_channel_width(set_channel channel);

struct log_event {
    event_kind kind = event_kind::stroke;
    // Stroke, cancel: the painted frame; undo, redo: the current frame; trim: the trimmed frame.
    int frame = 0;
    int depth = 0;                   // trim: undo depth of the dropped history entry
    std::vector<step_inputs> steps;  // stroke
    std::optional<stroke_end> end;   // stroke: absent while it is in progress
    // Strokes given through the Python module may leave "drew" out: it is then not checked.
    bool drew_known = true;
    // set: values given to particles of the frame directly, one undoable edit: the channel, the
    // particle ids (each once) and their values in turn (x, y, z of each for a position, in the
    // order cache files store them).
    set_channel channel = set_channel::position;
    std::vector<int32_t> ids;
    std::vector<float> values;

    bool operator==(const log_event& o) const;
};

// Appends events as they take effect. Steps arrive on worker threads, so every change holds
// lock_, which guards all fields.
class stroke_log {
  public:
    // The first step after an end (or a cancel) opens a new stroke event.
    void step(const step_inputs& in);
    // Ends the open stroke with what add_near read; nothing when none is open.
    void end_stroke(const stroke_end& end);
    void undo(int frame);
    void redo(int frame);
    // Cancels the open stroke: it gets no end.
    void cancel(int frame);
    void trim(int frame, int depth);
    // An event that took effect on frames the scene does not hold, recorded as it was given.
    void append(const log_event& event);

    std::vector<log_event> events() const;

  private:
    mutable mutex lock_;
    std::vector<log_event> events_ KAVRIN_GUARDED_BY(lock_);
    // A stroke is taking steps, and its place. Events that take effect while it is open (a trim
    // on a worker) come after it.
    bool open_ KAVRIN_GUARDED_BY(lock_) = false;
    size_t open_at_ KAVRIN_GUARDED_BY(lock_) = 0;
};

// The cache a log was recorded on: each frame's number, the particle records its file held and a
// hash of their ids in file order (FNV-1a over the little-endian int32 ids), as the frame was
// first read. Empty for a generated scene; a replay onto another cache can be told by it.
struct source_frame {
    int frame = 0;
    int32_t particles = 0;
    uint64_t ids = 0;

    bool operator==(const source_frame& o) const {
        return frame == o.frame && particles == o.particles && ids == o.ids;
    }
};
using source_fingerprint = std::vector<source_frame>;

// source_frame::ids is built by adding each record's id in turn to source_ids_start.
constexpr uint64_t source_ids_start = 14695981039346656037ull;
constexpr uint64_t add_source_id(uint64_t hash, int32_t id) {
    const uint32_t bits = uint32_t(id);
    for (int byte = 0; byte < 4; ++byte)
        hash = (hash ^ ((bits >> (8 * byte)) & 0xffu)) * 1099511628211ull;
    return hash;
}

// Version 2 holds positions, directions and the mirror plane x = 0 in the order cache files
// store a position's components. Version 1 logs were recorded in scenes that held them
// reversed; they are replayed in such a scene, and their replays log in version 1.
constexpr int stroke_log_version = 2;
constexpr int stroke_log_reversed_version = 1;

// The log as a JSON document: one line per event header and one per step.
QByteArray stroke_log_json(const std::vector<log_event>& events, int version = stroke_log_version,
                           const source_fingerprint& source = {});

// Reads a log document of any version this program reads; *version (when given) gets the
// document's, *source (when given) the cache it was recorded on, empty when it names none. On
// failure returns nothing and sets *error to the place and the reason:
// "line L, column C: ..." for bad JSON, "events[3].steps[2].pick: ..." for a bad field.
std::optional<std::vector<log_event>> read_stroke_log(const QByteArray& json, QString* error,
                                                      int* version = nullptr,
                                                      source_fingerprint* source = nullptr);

// Reads one stroke given in the log's shape, where every field but "frame", "type" and
// "steps" may be left out (defaults: the brush, camera and window of a fresh start, the end
// from the stroke's own values). Errors name the field as read_stroke_log does.
std::optional<log_event> read_stroke(const QJsonObject& stroke, QString* error);

}  // namespace kavrin
