#pragma once
// Reading a particle cache file without the script library, for the files that the shipped
// library reads: the same particles come out, in the same order, at a fraction of the cost of a
// set point. Anything out of the ordinary is left to the script library and its messages.

#include <QString>

#include "core/frame_set.h"
#include "exchange/script_bridge.h"

namespace kavrin {

// Whether the script folder's shared_lib module is the one this program was built with (a user
// who replaced it gets their module's reading).
bool shipped_script_library(const script_folders& folders);

// Fills an empty frame from the cache file at path as shared_lib.import_bin and the set point
// reading would: the first record of an id wins, and the repeated ones are counted in dropped.
// Returns false, with the frame left empty, for a frame that holds particles already or a file
// that the checks of the script library would refuse.
bool read_bin_natively(const QString& path, frame_set& fs, long long& dropped);

}  // namespace kavrin
