#include "exchange/cache_folder.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

namespace kavrin {

int cache_frame_number(const QString& file_name) {
    QString stem = file_name.left(file_name.indexOf(".bin"));
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

std::map<int, QString> scan_cache_folder(const QString& folder) {
    std::map<int, QString> files;
    // Listed in name order: the file system's own order is arbitrary, and the running maximum
    // below relies on zero-padded names coming in ascending order.
    const QStringList names = QDir(folder).entryList(QDir::Files, QDir::Name);
    int largest = 0;
    for (const QString& name : names) {
        if (!name.contains(".bin")) continue;
        const int frame = cache_frame_number(name);
        if (frame < largest) continue;
        files.try_emplace(frame, folder + "/" + name);
        largest = frame;
    }
    return files;
}

int cache_name_width(size_t frame_count) {
    return int(QString::number(frame_count).size()) + 1;
}

std::map<int, QString> plan_cache_save(const QString& folder, const std::vector<int>& frames) {
    const QString base = QFileInfo(folder).fileName();
    const int width = cache_name_width(frames.size());
    std::map<int, QString> files;
    for (int f : frames)
        files[f] =
            folder + "/" + base + "." + QString::number(f).rightJustified(width, '0') + ".bin";
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

}  // namespace kavrin
