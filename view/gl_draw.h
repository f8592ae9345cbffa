#pragma once
// Fixed-function drawing routines shared by the viewport's paint: lines, spheres from a display
// list, vertex-array meshes, lit meshes and wire cubes. Call with a current GL context.

#include "base/vec3.h"

namespace kavrin::gl {

// From a in (c, 1) to b in (c, fade ? 0 : 1).
void line(const vec3& a, const vec3& b, const vec3& c, bool fade, float width);
// The unit-sphere list scaled to radius at centre.
void sphere(const vec3& centre, float radius, const vec3& c, float alpha, unsigned list);
// Triangles from three floats per vertex; normals may be null.
void mesh(int count, const float* vertices, const float* normals);
// A mesh lit by three directional lights fixed in world space.
void lit_mesh(float alpha, int count, const float* vertices, const float* normals);
// Outline of each face of a cube of edge size around centre.
void wire_cube(const vec3& centre, float size, const vec3& c, float alpha);
// Compiles the quads of a unit sphere into a new display list and returns its id.
unsigned sphere_list(int rows, int columns);

}  // namespace kavrin::gl
