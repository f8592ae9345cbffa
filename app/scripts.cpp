#include "app/scripts.h"

#include <QFileInfo>
#include <QThread>

#include <chrono>
#include <memory>

#include "app/kavrin.h"
#include "app/transfer.h"
#include "base/strict.h"

#include "exchange/script_bridge.h"

namespace kavrin::scripts {

namespace {

script_folders folders_of(const kavrin& w) {
    return {w.paths().app_dir, w.paths().python_dir};
}

}  // namespace

void start() {
    start_interpreter();
}

void clean(kavrin& w) {
    try {
        script::clean(folders_of(w), w.paths().debug_txt, 0, w.is_release);
    } catch (const script_error& e) {
        w.log("clean / failed / " + QString::fromUtf8(e.what()));
    }
}

int core_count(kavrin& w) {
    std::unordered_map<std::string, QString> facts;
    try {
        facts = script::place(folders_of(w), w.paths().debug_txt, w.is_online);
    } catch (const script_error& e) {
        w.log("place / failed / " + QString::fromUtf8(e.what()));
        return QThread::idealThreadCount();
    }
    return strict_at(facts, std::string("core"), "the system facts").toInt();
}

void sync_missing(kavrin& w, const QStringList& files) {
    QStringList missing;
    for (const QString& local : files)
        if (!QFileInfo::exists(local)) {
            w.log("sync: " + local);
            missing << local;
        }
    if (missing.isEmpty()) return;
    auto failures = std::make_shared<QStringList>();
    const bool started = w.run_transfer(
        QString(),
        [folders = folders_of(w), missing, revision_folder = w.release().revision_folder,
         failures](transfer_control& control) {
            // One budget for all of them: the start waits no longer than that.
            control.deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(startup_budget_ms);
            for (const QString& local : missing) {
                try {
                    script::sync(folders, local, revision_folder, &control);
                } catch (const script_error& e) {
                    *failures << QString::fromUtf8(e.what());
                }
            }
        },
        [&w, failures] {
            for (const QString& failure : *failures)
                w.log("sync / failed / " + failure);
        });
    if (started) w.current_transfer()->wait(startup_budget_ms);
}
}  // namespace kavrin::scripts
