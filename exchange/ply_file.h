#pragma once
// PLY point clouds (".ply"), ASCII or binary of either byte order: the particles are the rows of
// the "vertex" element, with x, y, z, an "id" property (the row's index without one) and a
// "pscale" or "scale" property (1 without one). A frame read from a file is written back with
// that file's header lines, every vertex property and every other element (faces...) as read,
// but for the edited positions and scales; faces follow the vertices that remain, and a face on
// a removed particle goes with it. ASCII files are written back as ASCII, binary ones as binary
// little-endian. A generated frame gets x, y, z, id, pscale and a grey red, green, blue.

#include <vector>

#include <QString>

#include "dynamics/frame_set.h"
#include "exchange/bin_file.h"

namespace kavrin {

// Fills a frame from the file at path, as read_bin_frame does (a particle's record is its vertex
// row). Refuses, with bin_error naming the file and the check, what it cannot read. Returns how
// many rows were left out for a repeated id.
long long read_ply_frame(const QString& path, frame_set& fs, position_order order);

// Writes a frame, passing through what source (the .ply file it was read from) held; an empty
// source writes it as generated, with the channels of `carried` (what a file of another format
// held) as vertex properties of the names cache_channels() gives. The file appears whole or not
// at all.
void write_ply_frame(const QString& path, const frame_set& fs, const QString& source,
                     position_order order, const source_channels* carried = nullptr);

// The vertex properties that hold one value a row, as channels by their names (x, y and z each
// one of the position's, "pscale" or else "scale" the scale), with the one named read from every
// row in the property's type. Refuses what read_ply_frame refuses (bin_error).
record_channels read_ply_channel(const QString& path, const QString& name);


// The channels of the .ply file the frame was read from: the vertex properties of their names
// (a vector missing a component reads it as 0), for the live particles the frame holds;
// bin_error naming the file when it changed since it was read.
source_channels ply_channels(const QString& path, const frame_set& fs);

// Names of the file's vertex properties beyond x, y, z, id and the scale (and, unless
// with_channels, beyond those ply_channels reads), then of its other elements: what a
// conversion to another format cannot carry.
std::vector<QString> ply_extra_attributes(const QString& path, bool with_channels);

}  // namespace kavrin
