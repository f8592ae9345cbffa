#pragma once
// Bringing a frame up to date (its step), filling it when a scene is made, and the work loop
// that a background worker runs on one frame.

#include <vector>

namespace kavrin {

class frame_set;

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
void build_debug_geometry(frame_set& fs);
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
// strokes at the newest end of its history and drops undone strokes from its queue. The caller
// holds the frame's eat lock. Returns whether particles changed (the frame then needs a step).
bool settle_undone(frame_set& fs);

}  // namespace kavrin
