#pragma once
// Bringing a frame up to date (its step), filling it when a scene is made, and the work loop
// that a background worker runs on one frame.

#include <vector>

namespace kavrin {

class frame_set;

// Work kinds of a frame, in the order the work tests try them.
enum class work_kind { save = 0, playback = 1, queued_stroke = 2, undo = 3, final_step = 4 };

void step(frame_set& fs, bool sequential, bool refresh_fields);
void build_debug_geometry(frame_set& fs);
int build_frame(frame_set& fs, const std::vector<int>& frame_numbers, int index);
// The queue tests lock the frame's queues; with wait false (the GUI thread) a busy lock counts as
// pending work instead of blocking.
bool has_work(const frame_set& fs, work_kind kind, bool wait = true);
bool has_any_work(const frame_set& fs, bool wait = true);
// Processes the frame's pending work; false when it stopped for the user.
bool process(frame_set& fs);

}  // namespace kavrin
