#pragma once
// Cache folders on disk: which file holds which frame, how a save names its files, and moving a
// folder that already holds files out of the way before a save.

#include <map>
#include <vector>

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include "scene/window_link.h"
#include "exchange/cache_format.h"

namespace kavrin {

// The cache files of a folder by frame number.
struct cache_scan {
    std::map<int, QString> files;
    // Files left out, with their number: a file of the same number came first in name order.
    std::vector<std::pair<int, QString>> duplicates;
    // The format of the files, and the names of cache files left out for being in another one.
    cache_format format = cache_format::bin;
    std::vector<QString> other_format;
};

// Every cache file in folder (a name containing ".bin", ".vdb" or ".ply") of the format most of
// them are in, numbered by the last run of digits behind the stem's last separator and taken in
// numeric order; of two files of one number the first in name order wins.
cache_scan scan_cache_folder(const QString& folder);

// Logs "cache scan / duplicate frame / <n> / <file>" and "cache scan / other format / <file>"
// for each file the scan left out, and tells the artist how many were.
void report_cache_scan(const cache_scan& scan, window_link& host);

// Frame number that a cache file name carries (0 when it carries none).
int cache_frame_number(const QString& file_name);

// Digits of the zero-padded frame numbers of a save: digits of the frame count, plus one, and
// at least the digits of the largest frame number, so that name order is frame order.
int cache_name_width(size_t frame_count, int largest_frame = 0);

// The file of every frame of a save into folder: folder/base.<padded frame>.<format>, where base
// is the folder's own name.
std::map<int, QString> plan_cache_save(const QString& folder, const std::vector<int>& frames,
                                       cache_format format = cache_format::bin);

// Name of the stroke log saved with a cache folder: <folder name>.strokes.json.
QString stroke_log_name(const QString& folder);

// Writes bytes to path whole or not at all; on failure *error says why.
bool write_whole_file(const QString& path, const QByteArray& bytes, QString* error);

// Makes folder an empty folder for a save. A folder that holds anything is first renamed to
// its path + "#" + the date and time (a counter is added when that name is taken). Returns false,
// changing nothing more, when the folder cannot be moved aside or made; moved_to gets the new
// name of a folder that was moved.
bool empty_cache_folder(const QString& folder, const QDateTime& now, QString* moved_to = nullptr);

// Points the files of `files` that lie in folder `from` to the same names in `to`.
void follow_moved_folder(std::map<int, QString>& files, const QString& from, const QString& to);

}  // namespace kavrin
