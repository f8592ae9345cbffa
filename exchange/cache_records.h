#pragma once
// One frame of a particle cache written to its file and read back. While the script folder
// holds the shipped script library the bytes are read and written here; a library the user
// replaced gets every frame as a set point (a nested dict) through shared_lib.export_bin and
// gives it back through shared_lib.import_bin.

#include "scene/emitter.h"
#include "scene/window_link.h"
#include "exchange/bin_file.h"
#include "exchange/script_bridge.h"

namespace kavrin {

// Whether the script folder's shared_lib module is the one this program was built with.
bool shipped_script_library(const script_folders& folders);

// Writes frame `frame` of e to window.cache_files[frame], as assemble_bin_frame lays it out: a
// frame read from window.source_files[frame] passes every field of its records through but the
// edited ones. A frame missing from cache_files is an error (the map is not changed).
void export_bin(const script_folders&, window_link& window, emitter& e, int frame,
                position_order order = position_order::file);

// Fills frame `frame` of e from window.cache_files[frame]. All or nothing: when the file or the
// script fails, or any value is unusable, the error (bin_error, script_error) leaves the frame
// as it was. The first particle of an id wins: particles whose id the frame already holds are
// kept, and of records of the file that share an id only the first is read. Returns how many
// particles of the file were dropped for an id already taken.
long long import_bin(const script_folders&, window_link& window, emitter& e, int frame,
                     position_order order = position_order::file);

}  // namespace kavrin
