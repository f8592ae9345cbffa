#pragma once
// Brush deformation of particles and the application of a stroke to a frame's particles.

#include "base/particle.h"
#include "dynamics/stroke.h"

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
}  // namespace kavrin
