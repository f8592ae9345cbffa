#include "view/sphere_mesh.h"

#include <cmath>

namespace kavrin {

std::vector<float> sphere_quads(int rows, int columns) {
    std::vector<float> out;
    if (rows < 1 || columns < 1) return out;
    const double pi = 4.0 * std::atan(1.0);
    const double lat_step = 180.0 / rows, lon_step = 360.0 / columns;
    auto vertex = [&](int i, int j) {
        const double lat = (-90.0 + i * lat_step) * pi / 180.0;
        const double lon = (j * lon_step) * pi / 180.0;
        out.push_back(float(std::cos(lat) * std::cos(lon)));
        out.push_back(float(std::sin(lat)));
        out.push_back(float(-std::cos(lat) * std::sin(lon)));
    };
    out.reserve(size_t(rows) * size_t(columns) * 12);
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < columns; ++j) {
            vertex(i, j);
            vertex(i, j + 1);
            vertex(i + 1, j + 1);
            vertex(i + 1, j);
        }
    return out;
}

}  // namespace kavrin
