#pragma once
// A cache folder opened without a window: its scene, strokes replayed or applied to it, its
// stroke log, and saving it as a new cache folder the way the window saves one. kavrin-batch and
// the Python module are built on it. Every call settles the scene's background work before it
// returns; a session is used from one thread at a time.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include <QByteArray>
#include <QString>

#include "scene/replay.h"
#include "scene/stroke_log.h"
#include "exchange/bin_file.h"
#include "exchange/cache_folder.h"
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
    // A failure of one cache frame: its file and frame travel with it.
    session_error(kind k, const QString& message, const QString& file, int frame)
        : std::runtime_error(message.toStdString()), why(k), file(file), frame(frame) {}
    const kind why;
    const QString file;              // the cache file concerned, when one is
    const std::optional<int> frame;  // the frame concerned, when one is
};

// One frame's particles in ascending id order, positions in the order of the cache files;
// weights at or below 0 are removed particles.
struct frame_data {
    std::vector<int32_t> ids;
    std::vector<float> positions;  // x, y, z of each particle in turn
    std::vector<float> scales;
    std::vector<float> weights;
};

// One channel of a frame's particles in the order of frame_data: each particle's record of the
// cache file the frame was read from, but for the channels the scene edits (position, scale),
// which give the scene's values in the channel's own type. The shape and numeric kind are the
// file's (record_channel).
struct frame_channel {
    char kind = 'f';
    int item_size = 4;
    int width = 1;
    QByteArray values;  // particles x width components, native byte order
};

// What a save does with a file of its own name that is there already with other bytes. One with
// the same bytes is kept as it is either way, so that a retried run succeeds without writing.
enum class existing_files { refuse, replace };

// A log that names the cache it was recorded on is refused on another one, or replayed anyway.
enum class source_check { refuse, force };

// Inclusive range of frame numbers.
using frame_range = std::pair<int, int>;

class cache_session {
  public:
    // script_folder holds the script library (shared_lib.py); threads is the worker count of
    // every parallel job, from 1 to max_threads() (session_error otherwise).
    cache_session(const QString& script_folder, int threads);
    // The worker pool's limit, twice the processor cores: more workers would only wait for
    // each other.
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
    // The same progress as counts: phase "open", "replay" or "save", what is done of its total.
    // Called on the calling thread, whenever the count changes.
    std::function<void(const QString& phase, int done, int total)> on_count;

    // Opens the cache folder, read as the window's import reads it, and loads every frame.
    // Positions are held as the files store them, or reversed for the replay of a version 1
    // stroke log (open_for_log chooses).
    void open(const QString& folder, position_order order = position_order::file);
    // Builds the window's generated scene instead, 100 frames: the "100" fountain at scale 1, the
    // "10000" one at scale 100. The same seed builds the same particles as the window's scene of
    // that seed. Saving it writes a new cache.
    void open_fountain(int scale, unsigned seed);
    // Opens the cache folder in the order a stroke log of that version was recorded in.
    void open_for_log(const QString& folder, int log_version);
    bool is_open() const { return scene_ != nullptr; }
    std::vector<int> frames() const;
    frame_data frame(int number) const;
    // A channel of the records a frame was read from (read_record_channel names them); an
    // unknown name, or a frame not read from a file, is refused (session_error::kind::input)
    // with the channels there are.
    frame_channel channel(int number, const QString& name) const;
    // The frame an undo or redo without a frame number works on at once: the last one painted,
    // undone or redone, or the first frame.
    int current_frame() const;

    // Replays one event (a stroke is ended and propagated when it has an end), and settles.
    void apply(const log_event& event);
    // Applies a stroke as apply does and says what it changed: its particles on each frame it
    // reached, by frame; empty when it drew nothing. The steps that without_vector marks true
    // take the brush vector the window would compute there (step_vector), or else the one
    // before; a first step that has none is refused (session_error::kind::input) before anything
    // is done. The log holds the vectors used.
    std::map<int, int> apply_stroke(const log_event& event,
                                    const std::vector<bool>& without_vector = {});
    // Gives particles of a frame new values as one undoable edit of that frame, logged as a set
    // event: ids each once, values in turn (x, y, z of each position in the order of frame()).
    // Refused (session_error::kind::input) with what is wrong before anything changes.
    void set_values(int frame, set_channel channel, std::vector<int32_t> ids,
                    std::vector<float> values);
    // Replays a whole log, reporting each event. A log of version 1 needs a scene opened for
    // it: a scene opened otherwise with nothing done to it yet is opened again for it.
    // `recorded` is the cache the log names (read_stroke_log); when it differs from this scene's
    // the replay is refused before any event (session_error::kind::input) unless forced. A
    // scene replayed fresh records the log's cache as its own log's source.
    void replay(const std::vector<log_event>& events, int log_version = stroke_log_version,
                const source_fingerprint& recorded = {}, source_check check = source_check::refuse);
    // Opens the cache folder for a save of `range` after the log: only the range's frames and
    // those the log's strokes carry into them are read, and only the events that reach them
    // are replayed in full (see plan_partial_replay). Saving the range then writes what a
    // whole open, replay and save would; no other save is taken. Refused before any frame is
    // read when no frame of the folder lies in the range.
    void replay_for_range(const QString& folder, const std::vector<log_event>& events,
                          int log_version, const frame_range& range,
                          const source_fingerprint& recorded = {},
                          source_check check = source_check::refuse);
    // The log of everything done to the scene since it was opened.
    QByteArray log_json() const;

    // Saves the frames in range (every frame without one) into folder, named as the window
    // names a save (folder/<folder name>.<padded frame>.bin), with the log beside them as
    // folder/<folder name>.strokes.json. The files are written into a new folder beside it and
    // moved into place only when all are written: a folder that did not exist appears whole or
    // not at all. The folder may hold files of this save only: of other ranges, or of an
    // earlier run (see existing_files); a whole save also removes, with existing_files::replace,
    // or refuses the frames it does not write. Partial folders that killed runs of this host
    // left beside it are removed first.
    // The files are in format (the format of the cache folder opened, without one); what the
    // format cannot carry of the files read is logged, "cache save / dropped attribute / <name>".
    void save(const QString& folder, const std::optional<frame_range>& range = std::nullopt,
              const std::optional<cache_format>& format = std::nullopt,
              existing_files existing = existing_files::refuse);
    // Why save could not write folder, found before any work; empty when nothing stands in the
    // way that can be seen yet.
    // The output must lie outside the cache folder read (input, when given), and a folder that
    // is there may hold nothing but files of the same save.
    static QString output_problem(const QString& folder, bool with_range,
                                  const QString& input = QString());

  private:
    class link;

    emitter& scene() const;
    // Opens the frames of the scan that `only` names (all without it).
    void open_scanned(const cache_scan& scan, position_order order, const std::set<int>* only);
    // Makes the scene from what the link names (cache files, or the generator) and settles it.
    void build_scene();
    // Replays events in turn; those that `held` (when given) marks false, as replay_elsewhere.
    // Refuses (session_error) a replay of a log recorded on another cache, unless forced.
    void check_source(const source_fingerprint& recorded, source_check check) const;
    void replay_events(const std::vector<log_event>& events, const std::vector<bool>* held);
    void settle_reporting(const QString& topic, const std::function<int()>& done, int total);
    void check_failures(session_error::kind kind);
    // Replays one event, each stroke step prepared first when prepare is given.
    void run(const log_event& event, const step_preparer& prepare);

    std::unique_ptr<link> window_;  // outlives scene_, which uses it
    std::unique_ptr<emitter> scene_;
    QString folder_;               // the open cache folder
    std::vector<int> all_frames_;  // its frames, held or not: a save names its files by them
    source_fingerprint source_;    // the cache this scene's log is recorded on, as it names it
    std::optional<frame_range> held_range_;  // opened by replay_for_range: the range it may save
    bool replaying_ = false;                 // a whole log is being replayed
    // The format of the open folder's files.
    cache_format format_ = cache_format::bin;
};

}  // namespace kavrin
