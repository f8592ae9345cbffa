#include "exchange/cache_link.h"

#include <exception>

#include "exchange/cache_records.h"

namespace kavrin {

namespace {

// Runs one cache operation on a worker: nothing may escape, since an exception leaving a
// worker thread ends the program.
template <class Work>
QString logged(window_link& window, const char* topic, const QString& what, int frame, Work work) {
    QString failure;
    try {
        work();
        return QString();
    } catch (const std::exception& err) {
        failure = QString::fromUtf8(err.what());
    } catch (...) {
        failure = "unknown error";
    }
    const QString line = QString(topic) + " / error / " + QString::number(frame) + " / " + failure;
    window.log(line);
    window.tell("Frame " + QString::number(frame) + " " + what + ": " + failure);
    return line;
}

}  // namespace

QString write_cache_frame(const script_folders& folders, window_link& window, emitter& e, int frame,
                          position_order order) {
    return logged(window, "cache save", "was not saved", frame,
                  [&] { export_bin(folders, window, e, frame, order); });
}

QString read_cache_frame(const script_folders& folders, window_link& window, emitter& e, int frame,
                         position_order order) {
    long long dropped = 0;
    const QString failure = logged(window, "cache load", "was not read", frame,
                                   [&] { dropped = import_bin(folders, window, e, frame, order); });
    // A file whose ids repeat holds fewer particles than its header says: say how many went.
    if (dropped > 0) {
        window.log("cache load / duplicate ids / " + QString::number(frame) + " / " +
                   QString::number(dropped));
        window.tell("Frame " + QString::number(frame) + ": " + QString::number(dropped) +
                    " particles dropped, their ids repeat earlier ones");
    }
    return failure;
}

}  // namespace kavrin
