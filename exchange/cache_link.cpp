#include "exchange/cache_link.h"

#include <exception>

#include "exchange/cache_records.h"

namespace kavrin {

namespace {

// Runs one cache operation on a worker: nothing may escape, since an exception leaving a
// worker thread ends the program.
template <class Work>
bool logged(window_link& window, const char* topic, int frame, Work work) {
    QString failure;
    try {
        work();
        return true;
    } catch (const std::exception& err) {
        failure = QString::fromUtf8(err.what());
    } catch (...) {
        failure = "unknown error";
    }
    window.log(QString(topic) + " / error / " + QString::number(frame) + " / " + failure);
    return false;
}

}  // namespace

bool write_cache_frame(const script_folders& folders, window_link& window, emitter& e, int frame) {
    return logged(window, "cache save", frame, [&] { export_bin(folders, window, e, frame); });
}

bool read_cache_frame(const script_folders& folders, window_link& window, emitter& e, int frame) {
    long long dropped = 0;
    const bool read = logged(window, "cache load", frame,
                             [&] { dropped = import_bin(folders, window, e, frame); });
    // A file whose ids repeat holds fewer particles than its header says: say how many went.
    if (dropped > 0) {
        window.log("cache load / duplicate ids / " + QString::number(frame) + " / " +
                   QString::number(dropped));
    }
    return read;
}

}  // namespace kavrin
