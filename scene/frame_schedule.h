#pragma once
// The background work of a scene's frames: filling them when the scene is made, the kinds of
// work a frame may have pending, and the loop a worker runs on one frame.

#include <vector>

#include "scene/scene_frame.h"

namespace kavrin {

class emitter;

// Work kinds of a frame, in the order the work tests try them.
enum class work_kind {
    save = 0,
    playback = 1,
    queued_stroke = 2,
    undo = 3,
    final_step = 4,
    redo = 5  // a redo asked for the frame's most recently undone stroke
};

// Fills frame index of frame_numbers: from its cache file, or generated from the two frames
// before it. Returns its particle count.
int build_frame(emitter& e, scene_frame& fs, const std::vector<int>& frame_numbers, int index);
// The queue tests lock the frame's queues; with wait false (the GUI thread) a busy lock counts as
// pending work instead of blocking.
bool has_work(const emitter& e, const scene_frame& fs, work_kind kind, bool wait = true);
bool has_any_work(const emitter& e, const scene_frame& fs, bool wait = true);
// Processes the frame's pending work; false when it stopped for the user.
bool process(emitter& e, scene_frame& fs);

// The frame may be painted on: stepped and settled, not empty, not part of a propagation or a
// save, no redo waits to be carried out, and no stroke waits in its queue except undone ones (a
// stroke takes those back first).
// The GUI asks it too, so a busy queue lock counts as a queue in use.
bool ready_to_paint(const scene_frame& fs);
// Takes back, at once, what an undo left for the background on this frame: reverts the undone
// strokes at the newest end of its history (stepping the frame after each) and drops undone
// strokes from its queue. The caller holds the frame's eat lock.
void settle_undone(scene_frame& fs);
// Carries out the frame's next pending change — an undo's revert, a redo, or (with `queued`) the
// next queued stroke — and steps the frame when its particles changed. False when none was due.
bool next_change(scene_frame& fs, bool queued, bool sequential);

}  // namespace kavrin
