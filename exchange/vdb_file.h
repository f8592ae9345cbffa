#pragma once
// OpenVDB point caches (".vdb"), read and written through the OpenVDB library: one file per
// frame whose first point data grid holds the particles. "P" gives the position, "id" (int32, or
// int64 within int32) the particle id (the point's index in the file without one), "pscale" the
// scale (1 without one). A frame read from a file is written back with that file's other grids,
// file and grid metadata, grid name, transform, compression and every point attribute as read
// (type, codec and values), but for the positions and scales the artist edited. A generated
// frame, or one read from another format, gets "P", "id", "pscale", "Cd" and "Alpha".

#include <vector>

#include <QString>

#include "dynamics/frame_set.h"
#include "exchange/bin_file.h"

namespace kavrin {

// Fills a frame from the file at path, as read_bin_frame does (a point's record is its index in
// the grid's leaf order). Refuses, with bin_error naming the file, a file without a point data
// grid, ids that are not integers or beyond int32, positions or scales that are not finite and
// any file the library cannot read. Returns how many points were left out for a repeated id.
long long read_vdb_frame(const QString& path, frame_set& fs, position_order order);

// Writes a frame, passing through what source (the .vdb file it was read from) held; an empty
// source writes it as generated, with the channels of `carried` (what a file of another format
// held) as attributes of the names cache_channels() gives. The file appears whole or not at all.
void write_vdb_frame(const QString& path, const frame_set& fs, const QString& source,
                     position_order order, const source_channels* carried = nullptr);

// The point attributes of numeric type (scalars and vec3 of any codec, a stride > 1 giving
// that many components) and the point groups (bools) as channels by their names, "P" the world
// position, "pscale" the scale; the one named read from every point in the file's order, a half
// as a float. Refuses what read_vdb_frame refuses (bin_error).
record_channels read_vdb_channel(const QString& path, const QString& name);


// The channels of the .vdb file the frame was read from: the attributes of their names (vec3s or
// vec3d for a vector, a float or integer type for a scalar), for the live particles the frame
// holds; bin_error naming the file when it changed since it was read.
source_channels vdb_channels(const QString& path, const frame_set& fs);

// Names of the point attributes of the file beyond "P", "id" and "pscale" (and, unless
// with_channels, beyond those vdb_channels reads), and of its point groups: what a conversion
// to another format cannot carry.
std::vector<QString> vdb_extra_attributes(const QString& path, bool with_channels);

// The attributes a generated frame is written with, in order.
constexpr const char* vdb_colour_name = "Cd";     // the particle's shade as a grey
constexpr const char* vdb_weight_name = "Alpha";  // the particle's weight (presence)

}  // namespace kavrin
