#pragma once
// Brush deformation of particles and the application of strokes to a frame: live painting,
// propagated (targeted) strokes, and the replay of undo records.

#include "core/particle.h"
#include "core/stroke.h"

namespace kavrin {

class frame_set;

// Easing curve of the given QEasingCurve type at progress, taken in whole thousandths.
float ease(int curve_type, double progress);
// The same at a progress of exactly thousandths / 1000 (clamped to 0 .. 1000).
float ease_thousandths(int curve_type, long long thousandths);

// The particles of fs within radius of centre that s can still change, each with its falloff
// (1 everywhere for a hard brush).
void select_particles(frame_set& fs, stroke& s, const vec3& centre, float radius, int curve_type,
                      bool hard);
// One particle's part of s: its recorded value back (restore), the carried share of the
// painted change (targeted), or one painted step, by the stroke's brush kind.
void deform(particle& p, const stroke& s);
// Whether s can no longer change p.
bool at_limit(const particle& p, const stroke& s);

void apply_stroke(frame_set& fs, stroke& s);
// Whether the history's newest entry is the one of the stroke being painted at depth (an undone
// entry of that depth belongs to a stroke taken back). The caller holds the history lock.
bool holds_painted_entry(const frame_set& fs, int depth);
// The stroke being painted, and with the mirror brush its mirrored side: both go into the
// frame's newest history entry, then the frame is stepped once.
void apply_live_stroke(frame_set& fs, stroke& s, stroke* mirrored = nullptr);
// Reverts the newest history entry; a redoable one is kept for a redo.
void replay_undo(frame_set& fs);
// Brings back the frame's most recently undone stroke when a redo asked for it.
void replay_redo(frame_set& fs);
// Drops an undone stroke from the front of the queue (kept for a redo when it may be redone);
// false when the front is not undone.
bool drop_undone_queued(frame_set& fs);
void apply_queued_stroke(frame_set& fs);

}  // namespace kavrin
