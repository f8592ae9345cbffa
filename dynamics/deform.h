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
void deform(particle& p, const stroke& s);
void move_particle(particle& p, const stroke& s);
void change_value(particle& p, const stroke& s);
bool at_limit(const particle& p, const stroke& s);
void apply_targeted(particle& p, const stroke& s);

void apply_stroke(frame_set& fs, stroke& s);
void apply_live_stroke(frame_set& fs, stroke& s);
void replay_undo(frame_set& fs);
void apply_queued_stroke(frame_set& fs);

}  // namespace kavrin
