#pragma once
// The window's calls into the script library. A failing call is logged and the window goes on.

#include <QString>
#include <QStringList>

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
// Fetches the missing files from the server folder of this revision, off the GUI thread, and
// waits for them at most startup_budget_ms (the event loop turns meanwhile). A failure is
// logged and leaves the file missing; files that come later are there for the next start.
void sync_missing(kavrin& w, const QStringList& files);
constexpr int startup_budget_ms = 3000;

}  // namespace scripts
}  // namespace kavrin
