#pragma once
// A frame's history of strokes: the entry of the stroke being painted, the undo records of
// carried strokes, and their revert and redo. Each frame's history and redo lists are guarded by
// its history lock, its queue by its near lock.

#include "dynamics/stroke.h"

namespace kavrin {

class frame_set;

// Whether the history's newest entry is the one of the stroke being painted at depth (an undone
// entry of that depth belongs to a stroke taken back). The caller holds the history lock.
bool holds_painted_entry(const frame_set& fs, int depth);
// The stroke being painted at undo depth `depth`, and with the mirror brush its mirrored side:
// both go into the frame's newest history entry, then the frame is stepped once.
void apply_live_stroke(frame_set& fs, stroke& s, int depth, stroke* mirrored = nullptr);
// Reverts the newest history entry; a redoable one is kept for a redo.
void replay_undo(frame_set& fs);
// Brings back the frame's most recently undone stroke when a redo asked for it.
void replay_redo(frame_set& fs);
// Drops an undone stroke from the front of the queue (kept for a redo when it may be redone);
// false when the front is not undone.
bool drop_undone_queued(frame_set& fs);
// Applies the stroke at the front of the frame's queue (one carried from another frame) and
// records what it changed as the frame's newest history entry.
void apply_queued_stroke(frame_set& fs);

}  // namespace kavrin
