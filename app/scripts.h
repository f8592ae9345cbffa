#pragma once
// The window's calls into the script library. A failing call is logged and the window goes on.

#include <QString>

namespace kavrin {

class kavrin;

namespace scripts {

// Starts the embedded interpreter and releases its lock.
void start();
// Trims the debug log and the leftovers of an update; failures are logged.
void clean(kavrin& w);
// Processor cores, from the script library's system facts ("core"). A result without "core"
// throws the strict look-up error; a failing call falls back to Qt's count and is logged.
int core_count(kavrin& w);
// Fetches a missing file from the server folder of this revision; a failure is logged and
// leaves the file missing.
void sync_missing(kavrin& w, const QString& local);

}  // namespace scripts
}  // namespace kavrin
