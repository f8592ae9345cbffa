#pragma once
// A cache folder opened without a window: its scene, strokes replayed or applied to it, its
// stroke log, and saving it as a new cache folder the way the window saves one. kavrin-batch and
// the Python module are built on it. Every call settles the scene's background work before it
// returns; a session is used from one thread at a time.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include <QByteArray>
#include <QString>

#include "core/stroke_log.h"
#include "exchange/bin_file.h"
#include "exchange/cache_format.h"

namespace kavrin {

class emitter;

// Why an operation failed. The kind lets a program or a script tell the cases apart.
class session_error : public std::runtime_error {
  public:
    enum class kind {
        missing,  // the cache folder or a file is not there
        input,    // a bad cache file, log or stroke
        output,   // the output cannot be written
        replay,   // the scene does not take the log as it was recorded, or a job failed
        state,    // no scene is open
    };
    session_error(kind k, const QString& message)
        : std::runtime_error(message.toStdString()), why(k) {}
    const kind why;
};

// One frame's particles in ascending id order, positions in the order of the cache files;
// weights at or below 0 are removed particles.
struct frame_data {
    std::vector<int32_t> ids;
    std::vector<float> positions;  // x, y, z of each particle in turn
    std::vector<float> scales;
    std::vector<float> weights;
};

// Inclusive range of frame numbers.
using frame_range = std::pair<int, int>;

class cache_session {
  public:
    // script_folder holds the script library (shared_lib.py); threads is the worker count of
    // every parallel job, from 1 to max_threads() (session_error otherwise).
    cache_session(const QString& script_folder, int threads);
    // Twice the processor cores: more workers only wait for each other, and a count the system
    // cannot start must be refused before any work.
    static int max_threads();
    // The text of a stroke log file, refused (session_error) past a size no log reaches, so that
    // a wrong file (a device, a cache) cannot exhaust the memory.
    static QByteArray read_log_file(const QString& path);
    ~cache_session();
    cache_session(const cache_session&) = delete;
    cache_session& operator=(const cache_session&) = delete;

    // Progress lines ("topic / value") while the session works, and the engine's own log lines.
    // Set them before the first call; they may be called on any thread.
    std::function<void(const QString&)> on_progress;
    std::function<void(const QString&)> on_log;

    // Opens the cache folder, read as the window's import reads it, and loads every frame.
    // Positions are held as the files store them, or reversed for the replay of a version 1
    // stroke log (open_for_log chooses).
    void open(const QString& folder, position_order order = position_order::file);
    // Opens the cache folder in the order a stroke log of that version was recorded in.
    void open_for_log(const QString& folder, int log_version);
    bool is_open() const { return scene_ != nullptr; }
    std::vector<int> frames() const;
    frame_data frame(int number) const;
    // The frame an undo or redo without a frame number works on at once: the last one painted,
    // undone or redone, or the first frame.
    int current_frame() const;

    // Replays one event (a stroke is ended and propagated when it has an end), and settles.
    void apply(const log_event& event);
    // Replays a whole log, reporting each event. A log of version 1 needs a scene opened for
    // it: a scene opened otherwise with nothing done to it yet is opened again for it.
    void replay(const std::vector<log_event>& events, int log_version = stroke_log_version);
    // The log of everything done to the scene since it was opened.
    QByteArray log_json() const;

    // Saves the frames in range (every frame without one) into folder, named as the window
    // names a save (folder/<folder name>.<padded frame>.bin), with the log beside them as
    // folder/<folder name>.strokes.json. The files are written into a new folder beside it and
    // moved into place only when all are written: a folder that did not exist appears whole or
    // not at all. Without a range the folder must not hold anything; with one it may hold the
    // files of other ranges, but none of this range's.
    // The files are in format (the format of the cache folder opened, without one); what the
    // format cannot carry of the files read is logged, "cache save / dropped attribute / <name>".
    void save(const QString& folder, const std::optional<frame_range>& range = std::nullopt,
              const std::optional<cache_format>& format = std::nullopt);
    // Why save could not write folder, found before any work; empty when nothing stands in the
    // way that can be seen yet.
    // The output must lie outside the cache folder read (input, when given), and a folder that
    // ranges are merged into may hold nothing but files of the same save.
    static QString output_problem(const QString& folder, bool with_range,
                                  const QString& input = QString());

  private:
    class link;

    emitter& scene() const;
    void settle_reporting(const QString& topic, const std::function<int()>& done, int total);
    void check_failures(session_error::kind kind);

    std::unique_ptr<link> window_;  // outlives scene_, which uses it
    std::unique_ptr<emitter> scene_;
    QString folder_;          // the open cache folder
    bool replaying_ = false;  // a whole log is being replayed
    // The format of the open folder's files.
    cache_format format_ = cache_format::bin;
};

}  // namespace kavrin
