#include "exchange/cache_channels.h"

#include <string>

namespace kavrin {

const std::vector<cache_channel>& cache_channels() {
    // The names Houdini gives its particle attributes (v, N, age...) and the vertex properties
    // Blender, MeshLab and CloudCompare read (nx ny nz for normals, u v for texture
    // coordinates); the rest keep their field's name.
    static const std::vector<cache_channel> all{
        {"velocity", "v", {"vx", "vy", "vz"}, 3, false, false},
        {"force", "force", {"fx", "fy", "fz"}, 3, false, false},
        {"vorticity", "vorticity", {"vorticity_x", "vorticity_y", "vorticity_z"}, 3, false, false},
        {"normal_vector", "N", {"nx", "ny", "nz"}, 3, false, false},
        {"neighbors", "neighbors", {"neighbors"}, 1, true, false},
        {"texture_vector", "uv", {"u", "v", "w"}, 3, false, false},
        {"info_bits", "info_bits", {"info_bits"}, 1, true, true},
        {"elapsed_particle_time", "age", {"age"}, 1, false, false},
        {"isolation_time", "isolation_time", {"isolation_time"}, 1, false, false},
        {"viscosity", "viscosity", {"viscosity"}, 1, false, false},
        {"density", "density", {"density"}, 1, false, false},
        {"pressure", "pressure", {"pressure"}, 1, false, false},
        {"mass", "mass", {"mass"}, 1, false, false},
        {"temperature", "temperature", {"temperature"}, 1, false, false},
    };
    return all;
}

const cache_channel* channel_of_vdb(const std::string& attribute) {
    for (const cache_channel& c : cache_channels())
        if (attribute == c.vdb) return &c;
    return nullptr;
}

const cache_channel* channel_of_ply(const std::string& property) {
    for (const cache_channel& c : cache_channels())
        for (int k = 0; k < c.components; ++k)
            if (property == c.ply[size_t(k)]) return &c;
    return nullptr;
}

}  // namespace kavrin
