#include "app/autosave.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include "exchange/cache_folder.h"

namespace kavrin {

namespace {

QString source_file(const QString& dir) {
    return dir + "autosave.ini";
}
QString log_file(const QString& dir) {
    return dir + "autosave.strokes.json";
}

}  // namespace

QString scene_source::describe() const {
    return from_cache ? "the cache " + folder
                      : "the fountain " + QString(scale == 100 ? "10000" : "100");
}

bool write_autosave(const QString& dir, const autosave& a, QString* error) {
    // The log first: a source without its log is never read as a recording.
    if (!write_whole_file(log_file(dir), stroke_log_json(a.events), error)) return false;
    const QString part = source_file(dir) + ".part";
    {
        QSettings s(part, QSettings::IniFormat);
        s.clear();
        s.setValue("source/kind", a.source.from_cache ? "cache" : "fountain");
        s.setValue("source/folder", a.source.folder);
        s.setValue("source/scale", a.source.scale);
        s.setValue("source/seed", a.source.seed);
        s.sync();
        if (s.status() != QSettings::NoError) {
            if (error) *error = "cannot write " + part;
            return false;
        }
    }
    QFile::remove(source_file(dir));
    if (!QFile::rename(part, source_file(dir))) {
        if (error) *error = "cannot write " + source_file(dir);
        return false;
    }
    return true;
}

std::optional<autosave> read_autosave(const QString& dir, QString* error) {
    if (!QFileInfo::exists(source_file(dir)) || !QFileInfo::exists(log_file(dir))) return {};
    QSettings s(source_file(dir), QSettings::IniFormat);
    autosave a;
    const QString kind = s.value("source/kind").toString();
    if (kind != "cache" && kind != "fountain") {
        if (error) *error = source_file(dir) + ": unknown source";
        return {};
    }
    a.source.from_cache = kind == "cache";
    a.source.folder = s.value("source/folder").toString();
    a.source.scale = s.value("source/scale", 1).toInt() == 100 ? 100 : 1;
    a.source.seed = s.value("source/seed", 0).toUInt();
    QFile file(log_file(dir));
    if (!file.open(QIODevice::ReadOnly)) {
        if (error) *error = "cannot read " + log_file(dir);
        return {};
    }
    QString why;
    int version = stroke_log_version;
    auto events = read_stroke_log(file.readAll(), &why, &version);
    if (events && version != stroke_log_version)
        why = "version " + QString::number(version) + " is not what this program autosaves";
    if (!events || version != stroke_log_version) {
        if (error) *error = log_file(dir) + ": " + why;
        return {};
    }
    a.events = std::move(*events);
    return a;
}

void remove_autosave(const QString& dir) {
    QFile::remove(source_file(dir));
    QFile::remove(log_file(dir));
}

}  // namespace kavrin
