#include "app/build_info.h"

#include <algorithm>

#include <QDateTime>
#include <QStringList>

namespace kavrin {

QString build_stamp(const QString& date, const QString& time, const QTimeZone& zone) {
    static const QStringList months = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    QString text = date;
    for (int m = 0; m < months.size(); ++m)
        text.replace(months[m], QString::number(m + 1));
    text.replace("  ", " ");
    text += " " + time;
    const QDateTime read = QDateTime::fromString(text, "M d yyyy h:m:s");
    if (!read.isValid()) return QString();
    const QDateTime local(read.date(), read.time(), zone);
    return local.toUTC().toString("yyyyMMddhhmmss");
}

int initial_cpu_count(int cores) {
    return std::clamp(cores - 1, 1, 12);
}

}  // namespace kavrin
