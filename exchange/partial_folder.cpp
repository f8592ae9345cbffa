#include "exchange/partial_folder.h"

#include <cerrno>
#include <set>

#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSysInfo>

#include "base/mutex.h"

namespace kavrin {

namespace {

mutex live_lock;
std::set<QString> live KAVRIN_GUARDED_BY(live_lock);  // partial folders of this process that exist

// The host part of a name: letters, digits and dots only, so that the dashes stay separators.
QString host_name() {
    QString host = QSysInfo::machineHostName();
    host.replace(QRegularExpression("[^A-Za-z0-9.]"), "_");
    return host.isEmpty() ? QString("host") : host;
}

QString prefix_of(const QString& target) {
    return "." + QFileInfo(target).fileName() + ".partial-";
}

bool process_runs(qint64 pid) {
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

void remove_folder(const QString& path) {
    // A worker may still be finishing a file in it: try again once it is gone.
    for (int attempt = 0; attempt < 3 && QFileInfo::exists(path); ++attempt)
        QDir(path).removeRecursively();
}

}  // namespace

partial_folder::partial_folder(const QString& target) {
    const QString stem = QFileInfo(target).absolutePath() + "/" + prefix_of(target) + host_name() +
                         "-" + QString::number(QCoreApplication::applicationPid()) + "-";
    for (int attempt = 0; attempt < 100 && path_.isEmpty(); ++attempt) {
        const QString name = stem + QString::number(QRandomGenerator::global()->generate(), 16);
        mutex_hold hold(live_lock);
        if (QDir().mkdir(name)) {
            path_ = name;
            live.insert(name);
        }
    }
}

partial_folder::~partial_folder() {
    if (path_.isEmpty()) return;
    remove_folder(path_);
    mutex_hold hold(live_lock);
    live.erase(path_);
}

void partial_folder::moved_into_place() {
    mutex_hold hold(live_lock);
    live.erase(path_);
    path_.clear();
}

void partial_folder::remove_all_of_this_process() {
    mutex_hold hold(live_lock);
    for (const QString& path : live)
        remove_folder(path);
    live.clear();
}

int partial_folder::sweep_stale(const QString& target) {
    const QFileInfo info(QDir::cleanPath(QFileInfo(target).absoluteFilePath()));
    const QRegularExpression ours("^" + QRegularExpression::escape(prefix_of(target)) +
                                  QRegularExpression::escape(host_name()) + "-([0-9]+)-[0-9a-f]+$");
    int removed = 0;
    const QDir parent(info.absolutePath());
    for (const QString& name : parent.entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
        const QRegularExpressionMatch m = ours.match(name);
        if (!m.hasMatch() || process_runs(m.captured(1).toLongLong())) continue;
        remove_folder(parent.filePath(name));
        removed += !QFileInfo::exists(parent.filePath(name));
    }
    return removed;
}

}  // namespace kavrin
