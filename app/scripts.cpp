#include "app/scripts.h"

#include <QFileInfo>
#include <QThread>

#include "app/kavrin.h"
#include "core/strict.h"

#include "exchange/script_bridge.h"

namespace kavrin::scripts {

namespace {

script_folders folders_of(const kavrin& w) {
    return {w.app_dir, w.python_dir};
}

}  // namespace

void start() {
    start_interpreter();
}

void clean(kavrin& w) {
    try {
        script::clean(folders_of(w), w.debug_txt, 0, w.is_release);
    } catch (const script_error& e) {
        w.log("clean / failed / " + QString::fromUtf8(e.what()));
    }
}

int core_count(kavrin& w) {
    std::unordered_map<std::string, QString> facts;
    try {
        facts = script::place(folders_of(w), w.debug_txt, w.is_online);
    } catch (const script_error& e) {
        w.log("place / failed / " + QString::fromUtf8(e.what()));
        return QThread::idealThreadCount();
    }
    return strict_at(facts, std::string("core")).toInt();
}

void sync_missing(kavrin& w, const QString& local) {
    if (QFileInfo::exists(local)) return;
    w.log("sync: " + local);
    try {
        script::sync(folders_of(w), local, w.revision_folder);
    } catch (const script_error& e) {
        w.log("sync / failed / " + QString::fromUtf8(e.what()));
    }
}
}  // namespace kavrin::scripts
