#pragma once
// Sparse grid fields of a frame: occupied cells, a density for them and their neighbours, and a
// normal per cell from the density gradient. Shading blends them around any point.

#include <vector>

#include "base/cell_key.h"
#include "base/parallel.h"
#include "base/particle.h"

namespace kavrin {

class frame_set;

void field_passes(frame_set& fs, bool sequential);
void shape_cell(frame_set& fs, const particle& p);
// Counts the occupied cell at key into the density of each of its 27 neighbours (itself
// included); the passes turn the counts into densities once every cell is counted.
void density_cell(frame_set& fs, const cell_key& key);
void normal_cell(frame_set& fs, const cell_key& key);
// One thread's share of a parallel pass: the items at indices go into the thread's own maps,
// which join the frame's grid once at the end (under the grid's merge lock).
void shape_slice(frame_set& fs, const std::vector<particle*>& list, const share& indices);
void density_slice(frame_set& fs, const std::vector<cell_key>& keys, const share& indices);
void normal_slice(frame_set& fs, const std::vector<cell_key>& keys, const share& indices);
// Blends the normals (and, when asked, densities) of the 27 cells around x. Throws the strict
// look-up error when one of them is unknown.
void shade_at(const frame_set& fs, const vec3& x, vec3& normal_sum, float* shade_sum);
// The unit normal at x of the surface that the particles near x lie on, turned to the side that
// `facing` points to (or, when it is zero, to the density gradient's side). Unlike the blended
// cell normals it holds on sheets thinner than a cell. Falls back to the blend where the
// particles give no plane; false when neither gives a direction.
bool surface_normal(const frame_set& fs, const vec3& x, const vec3& facing, vec3& normal);
// How many of the 27 cells around x have a normal.
int cells_near(const frame_set& fs, const vec3& x);
void shade_particles(frame_set& fs);

}  // namespace kavrin
