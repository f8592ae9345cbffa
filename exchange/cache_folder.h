#pragma once
// Cache folders on disk: which file holds which frame, how a save names its files, and moving a
// folder that already holds files out of the way before a save.

#include <map>
#include <vector>

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace kavrin {

// Frame number of every cache file in folder (a name containing ".bin"), taken from the last run
// of digits behind the stem's last separator. Names are read in name order, and a file whose
// number is below the largest seen so far is skipped; a later file with a seen number too.
std::map<int, QString> scan_cache_folder(const QString& folder);

// Frame number that a cache file name carries (0 when it carries none).
int cache_frame_number(const QString& file_name);

// Digits of the zero-padded frame numbers of a save: digits of the frame count, plus one.
int cache_name_width(size_t frame_count);

// The file of every frame of a save into folder: folder/base.<padded frame>.bin, where base is
// the folder's own name.
std::map<int, QString> plan_cache_save(const QString& folder, const std::vector<int>& frames);

// Name of the stroke log saved with a cache folder: <folder name>.strokes.json.
QString stroke_log_name(const QString& folder);

// Writes bytes to path whole or not at all; on failure *error says why.
bool write_whole_file(const QString& path, const QByteArray& bytes, QString* error);

// Makes folder an empty folder for a save. A folder that holds anything is first renamed to
// its path + "#" + the date and time (a counter is added when that name is taken). Returns false,
// changing nothing more, when the folder cannot be moved aside or made; moved_to gets the new
// name of a folder that was moved.
bool empty_cache_folder(const QString& folder, const QDateTime& now, QString* moved_to = nullptr);

}  // namespace kavrin
