#pragma once
// One frame of a particle cache: the frame's live particles handed to the script library as a
// set point (a nested dict) to be written to the frame's cache file, and read back from it.

#include "core/emitter.h"
#include "core/window_link.h"
#include "exchange/script_bridge.h"

namespace kavrin {

// Writes frame `frame` of e to window.cache_files[frame] through shared_lib.export_bin. Only
// particles of positive weight are written; a frame without any writes nothing. A frame
// missing from cache_files is an error (the map is not changed).
void export_bin(const script_folders&, window_link& window, emitter& e, int frame);

// Fills frame `frame` of e from window.cache_files[frame] through shared_lib.import_bin. All or
// nothing: when the script fails or any value of the set point is unusable, script_error
// leaves the frame as it was. The first particle of an id wins: particles whose id the frame
// already holds are kept, and of records of the file that share an id only the first is read.
// Returns how many particles of the file were dropped for an id already taken.
long long import_bin(const script_folders&, window_link& window, emitter& e, int frame);

// Constants of the set point header.
constexpr int set_point_code = 0xFABADA;
constexpr int set_point_version = 9;
constexpr int set_point_fps = 30;
constexpr int fluid_type_mass = -2147483647;      // bit pattern 0x80000001
constexpr int fluid_type_pressure = -2147483646;  // bit pattern 0x80000002

}  // namespace kavrin
