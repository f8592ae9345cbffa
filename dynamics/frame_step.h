#pragma once
// Bringing a frame up to date (its step), filling it when a scene is made, and the work loop
// that a background worker runs on one frame.

#include <vector>

#include "core/frame_set.h"

namespace kavrin {

// Work kinds of a frame, in the order the work tests try them.
enum class work_kind {
    save = 0,
    playback = 1,
    queued_stroke = 2,
    undo = 3,
    final_step = 4,
    redo = 5  // a redo asked for the frame's most recently undone stroke
};

void step(frame_set& fs, bool sequential, bool refresh_fields);
// The box triangles of the occupied nodes (the debug overlay's geometry). A step only marks them
// stale; the refresh rebuilds them when stale. Call either with the frame's eat lock held or on
// the thread that steps it.
void build_debug_geometry(frame_set& fs);
void refresh_debug_geometry(frame_set& fs);
// How far each debug box reaches beyond the bounds of its node's particles.
inline float debug_margin(const frame_set& fs) {
    return 0.1f * fs.leaf_half;
}
// The 36 vertices (twelve triangles) of the box lo..hi, appended three floats each, with their
// face normals when asked for.
void box_triangles(const vec3& lo, const vec3& hi, std::vector<float>& vertices,
                   std::vector<float>* normals);
int build_frame(frame_set& fs, const std::vector<int>& frame_numbers, int index);
// The queue tests lock the frame's queues; with wait false (the GUI thread) a busy lock counts as
// pending work instead of blocking.
bool has_work(const frame_set& fs, work_kind kind, bool wait = true);
bool has_any_work(const frame_set& fs, bool wait = true);
// Processes the frame's pending work; false when it stopped for the user.
bool process(frame_set& fs);

// The frame may be painted on: stepped and settled, not empty, not part of a propagation or a
// save, no redo waits to be carried out, and no stroke waits in its queue except undone ones (a
// stroke takes those back first).
// The GUI asks it too, so a busy queue lock counts as a queue in use.
bool ready_to_paint(const frame_set& fs);
// Takes back, at once, what an undo left for the background on this frame: reverts the undone
// strokes at the newest end of its history (stepping the frame after each) and drops undone
// strokes from its queue. The caller holds the frame's eat lock.
void settle_undone(frame_set& fs);
// Carries out the frame's next pending change — an undo's revert, a redo, or (with `queued`) the
// next queued stroke — and steps the frame when its particles changed. False when none was due.
bool next_change(frame_set& fs, bool queued, bool sequential);

}  // namespace kavrin
