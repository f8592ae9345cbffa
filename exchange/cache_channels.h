#pragma once
// The per-particle values a cache carries beyond position, id and scale, as the .bin record's
// fields, and the names each other format gives them: what a conversion between formats takes
// along. The values of a file are gathered by record, for the writer of the other format to
// place beside each particle it writes.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "base/particle.h"

namespace kavrin {

struct cache_channel {
    const char* bin;                 // the .bin field, by its set point key
    const char* vdb;                 // the OpenVDB point attribute (vec3s, float or int32)
    std::array<const char*, 3> ply;  // the PLY vertex properties, one for a scalar
    int components;                  // 1 or 3
    bool integral;                   // an integer field: int32 in OpenVDB, int or short in PLY
    bool narrow;                     // a 16-bit field (short in PLY)
};

// Every channel, in the .bin record's order.
const std::vector<cache_channel>& cache_channels();

// The channel a name of the format gives (nullptr for none).
const cache_channel* channel_of_vdb(const std::string& attribute);
const cache_channel* channel_of_ply(const std::string& property);

// The values of one channel of a file, `components` per record, by record index.
struct channel_values {
    const cache_channel* channel;
    std::vector<double> values;
};

// What a file held of the channels: those present, for its `records` records.
struct source_channels {
    int32_t records = 0;
    std::vector<channel_values> present;

    // The values of channel c for the particle p (zeros for one not read from the file).
    void values_of(const channel_values& c, const particle& p, double* out) const {
        const int n = c.channel->components;
        if (p.record < 0 || p.record >= records) {
            for (int k = 0; k < n; ++k)
                out[k] = 0.0;
            return;
        }
        for (int k = 0; k < n; ++k)
            out[k] = c.values[size_t(p.record) * size_t(n) + size_t(k)];
    }
    // Starts a channel of `records` zeros.
    channel_values& add(const cache_channel& c) {
        present.push_back({&c, std::vector<double>(size_t(records) * size_t(c.components), 0.0)});
        return present.back();
    }
};

}  // namespace kavrin
