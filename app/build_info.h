#pragma once
// Build and system facts that the debug panel shows and the thread count starts from.

#include <QString>
#include <QTimeZone>

namespace kavrin {

// The compile date ("Sep  5 2012") and time ("08:00:00"), read as a local time of zone, in UTC
// as "yyyyMMddhhmmss"; empty when they do not read as a date.
QString build_stamp(const QString& date, const QString& time, const QTimeZone& zone);

// Worker threads to start with: one core left for the window, at least 1, at most 12.
int initial_cpu_count(int cores);

}  // namespace kavrin
