#pragma once
// Sparse grid fields of a frame: occupied cells, a density for them and their neighbours, and a
// normal per cell from the density gradient. Shading blends them around any point.

#include "core/cell_key.h"
#include "core/particle.h"

namespace kavrin {

class frame_set;

void field_passes(frame_set& fs, bool sequential);
void shape_cell(frame_set& fs, const particle& p);
void density_cell(frame_set& fs, const cell_key& key);
void normal_cell(frame_set& fs, const cell_key& key);
// Blends the normals (and, when asked, densities) of the 27 cells around x. Throws the strict
// look-up error when one of them is unknown.
void shade_at(const frame_set& fs, const vec3& x, vec3& normal_sum, float* shade_sum);
// How many of the 27 cells around x have a normal.
int cells_near(const frame_set& fs, const vec3& x);
void shade_particles(frame_set& fs);

}  // namespace kavrin
