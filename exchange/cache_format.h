#pragma once
// The cache file formats a scene is read from and saved in: the binary particle layout (".bin"),
// OpenVDB points (".vdb") and PLY point clouds (".ply"). Which format a file is in, reading and
// writing a frame in whichever it is, and what a conversion between them cannot carry.

#include <optional>
#include <vector>

#include <QString>

#include "dynamics/frame_set.h"
#include "exchange/bin_file.h"

namespace kavrin {

enum class cache_format { bin, vdb, ply };

// Every format, in the order they are offered; bin first, the format of generated scenes.
const std::vector<cache_format>& cache_formats();

// "bin", "vdb", "ply": the name users type and the file extension without its dot.
QString format_name(cache_format format);
std::optional<cache_format> parse_cache_format(const QString& name);

// The format whose extension (".bin", ".vdb", ".ply") a file name contains, the earliest in the
// name when it holds several, and where that extension starts; nullopt for none.
std::optional<cache_format> format_in_name(const QString& file_name, int* at = nullptr);

// The format of a file by its first bytes, else by its name; nullopt when neither tells.
std::optional<cache_format> cache_format_of(const QString& path);

// Fills a frame from a cache file of any format, as read_bin_frame does for ".bin".
long long read_cache_file(const QString& path, frame_set& fs, position_order order);

// Writes a frame in the format the target's name gives. What source (the file the frame was
// read from) held passes through when it is of that format; a frame from another format is
// written as generated, with the channels of the source the target can hold (cache_channels).
// A frame read from a file that is no longer known is refused.
void write_cache_file(const QString& target, const frame_set& fs, const QString& source,
                      position_order order);

// The channels of a cache file of any format, with the one named (read_bin_channel,
// read_vdb_channel, read_ply_channel).
record_channels read_record_channel(const QString& path, const QString& name);

// What saving the frames read from source in the target format leaves out: the source's
// attributes beyond position, id, scale and the channels, when the formats differ (a .bin
// target also leaves out a "pressure" attribute: its pressure field holds the scale); nothing
// of a .bin source.
std::vector<QString> dropped_attributes(const QString& source, cache_format target);

}  // namespace kavrin
