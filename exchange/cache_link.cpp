#include "exchange/cache_link.h"

#include <exception>

#include "exchange/cache_records.h"

namespace kavrin {

namespace {

// Looked up, never inserted: workers read the map concurrently.
QString file_of(const std::map<int, QString>& files, int frame) {
    const auto it = files.find(frame);
    return it == files.end() ? QString() : it->second;
}

// Runs one cache operation on a worker: nothing may escape, since an exception leaving a
// worker thread ends the program.
template <class Work>
std::optional<cache_failure> logged(window_link& window, cache_failure::kind kind, int frame,
                                    Work work) {
    cache_failure failure{kind, QString(), QString(), frame};
    try {
        work();
        return std::nullopt;
    } catch (const bin_error& err) {
        failure.message = QString::fromUtf8(err.what());
        failure.file = err.file;
    } catch (const std::exception& err) {
        failure.message = QString::fromUtf8(err.what());
    } catch (...) {
        failure.message = "unknown error";
    }
    if (failure.file.isEmpty()) failure.file = file_of(window.cache_files, frame);
    window.log(log_line(failure));
    window.tell("Frame " + QString::number(frame) +
                (kind == cache_failure::kind::save ? " was not saved: " : " was not read: ") +
                failure.message);
    return failure;
}

}  // namespace

QString log_line(const cache_failure& failure) {
    return QString(failure.what == cache_failure::kind::save ? "cache save" : "cache load") +
           " / error / " + QString::number(failure.frame) + " / " + failure.message;
}

std::optional<cache_failure> write_cache_frame(const script_folders& folders, window_link& window,
                                               emitter& e, int frame, position_order order) {
    return logged(window, cache_failure::kind::save, frame,
                  [&] { export_bin(folders, window, e, frame, order); });
}

std::optional<cache_failure> read_cache_frame(const script_folders& folders, window_link& window,
                                              emitter& e, int frame, position_order order) {
    long long dropped = 0;
    auto failure = logged(window, cache_failure::kind::load, frame,
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
