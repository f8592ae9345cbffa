#pragma once
// Latitude-longitude sphere of radius 1 around the origin, as quads for GL_QUADS.

#include <vector>

namespace kavrin {

// rows bands from pole to pole and columns slices around; 4 vertices (x, y, z) per quad,
// counter-clockwise seen from outside, so that back-face culling keeps the near half.
std::vector<float> sphere_quads(int rows, int columns);

}  // namespace kavrin
