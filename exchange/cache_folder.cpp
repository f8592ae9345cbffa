#include "exchange/cache_folder.h"

#include <algorithm>

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

namespace kavrin {

int cache_frame_number(const QString& file_name) {
    int at = -1;
    format_in_name(file_name, &at);
    QString stem = file_name.left(at);
    // The separator is the last run of characters that are neither ASCII letters nor digits.
    static const QRegularExpression alnum("[a-zA-Z0-9]");
    const QStringList pieces = stem.split(alnum, Qt::SkipEmptyParts);
    if (!pieces.isEmpty()) {
        const QString& sep = pieces.last();
        stem = stem.mid(stem.lastIndexOf(sep) + sep.size());
    }
    bool ok = false;
    const int frame = stem.toInt(&ok, 10);
    return ok ? frame : 0;
}

cache_scan scan_cache_folder(const QString& folder) {
    cache_scan scan;
    // Name order decides between files of one number; the file system's own order is arbitrary.
    const QStringList names = QDir(folder).entryList(QDir::Files, QDir::Name);
    // A folder is one cache: the format most of its files are in (the earlier one on a tie).
    std::map<cache_format, int> counts;
    for (const QString& name : names)
        if (const auto format = format_in_name(name)) ++counts[*format];
    for (const auto& [format, count] : counts)
        if (count > counts[scan.format]) scan.format = format;
    for (const QString& name : names) {
        const auto format = format_in_name(name);
        if (!format) continue;
        if (*format != scan.format) {
            scan.other_format.push_back(name);
            continue;
        }
        const int frame = cache_frame_number(name);
        if (!scan.files.try_emplace(frame, folder + "/" + name).second)
            scan.duplicates.emplace_back(frame, name);
    }
    return scan;
}

void report_cache_scan(const cache_scan& scan, window_link& host) {
    for (const auto& [frame, name] : scan.duplicates)
        host.log("cache scan / duplicate frame / " + QString::number(frame) + " / " + name);
    for (const QString& name : scan.other_format)
        host.log("cache scan / other format / " + name);
    if (!scan.other_format.empty())
        host.tell(QString::number(scan.other_format.size()) + " files skipped: not ." +
                  format_name(scan.format) + " like the rest of the folder (see the log)");
    if (!scan.duplicates.empty())
        host.tell(QString::number(scan.duplicates.size()) +
                  " cache files skipped: another file has the same frame number (see the log)");
}

int cache_name_width(size_t frame_count, int largest_frame) {
    return std::max(int(QString::number(frame_count).size()) + 1,
                    int(QString::number(largest_frame).size()));
}

std::map<int, QString> plan_cache_save(const QString& folder, const std::vector<int>& frames,
                                       cache_format format) {
    const QString base = QFileInfo(folder).fileName();
    const int largest = frames.empty() ? 0 : *std::max_element(frames.begin(), frames.end());
    const int width = cache_name_width(frames.size(), largest);
    std::map<int, QString> files;
    for (int f : frames)
        files[f] = folder + "/" + base + "." + QString::number(f).rightJustified(width, '0') + "." +
                   format_name(format);
    return files;
}

QString stroke_log_name(const QString& folder) {
    return QFileInfo(QDir::cleanPath(folder)).fileName() + ".strokes.json";
}

bool write_whole_file(const QString& path, const QByteArray& bytes, QString* error) {
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    *error = file.errorString();
    return false;
}

bool empty_cache_folder(const QString& folder, const QDateTime& now, QString* moved_to) {
    QDir dir(folder);
    if (dir.exists() && !dir.isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
        const QString aside = folder + "#" + now.toString("yyyy MM dd hh mm ss");
        QString target = aside;
        for (int n = 2; QFileInfo::exists(target); ++n)
            target = aside + " " + QString::number(n);
        if (!QDir().rename(folder, target)) return false;
        if (moved_to) *moved_to = target;
    }
    return QDir().mkpath(folder);
}

void follow_moved_folder(std::map<int, QString>& files, const QString& from, const QString& to) {
    const QString inside = QDir::cleanPath(from) + "/";
    for (auto& [frame, path] : files)
        if (QDir::cleanPath(path).startsWith(inside))
            path = QDir::cleanPath(to) + "/" + QDir::cleanPath(path).mid(inside.size());
}

}  // namespace kavrin
