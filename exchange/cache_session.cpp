#include "exchange/cache_session.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <QStringList>
#include <QThread>
#include "base/first_kept.h"
#include "base/parallel.h"
#include "exchange/cache_folder.h"
#include "exchange/cache_link.h"
#include "exchange/partial_folder.h"
#include "exchange/script_bridge.h"
#include "exchange/step_vector.h"
#include "scene/emitter.h"
#include "scene/headless_link.h"
#include "scene/replay.h"
#include "scene/set_values.h"

namespace kavrin {

// The session's window: cache frames read and written in the session's position order, and the
// first cache failure kept, since the frame work loop goes on past it.
class cache_session::link : public headless_link {
  public:
    script_folders folders;
    // Set before a scene is made, only read while it works.
    position_order order = position_order::file;

    // Problems the artist should see (dropped particles, skipped files) go out with the progress
    // lines, not only with the log.
    std::function<void(const QString&)> on_tell;  // set once, before any work
    void tell(const QString& message) override {
        if (on_tell) on_tell(message);
    }

    void write_cache_frame(emitter& e, int frame) override {
        keep(::kavrin::write_cache_frame(folders, *this, e, frame, order));
    }
    void read_cache_frame(emitter& e, int frame) override {
        keep(::kavrin::read_cache_frame(folders, *this, e, frame, order));
    }

    std::optional<cache_failure> first_cache_failure() const { return first_failure_.get(); }
    void clear_cache_failure() { first_failure_.clear(); }

  private:
    first_kept<cache_failure> first_failure_;

    void keep(std::optional<cache_failure> failure) { first_failure_.keep(std::move(failure)); }
};

namespace {

QString seconds_since(const QElapsedTimer& clock) {
    return QString::number(double(clock.elapsed()) / 1000.0, 'f', 2) + " s";
}

QString describe(const log_event& e) {
    switch (e.kind) {
        case event_kind::stroke:
            return "stroke / frame " + QString::number(e.frame) + " / " +
                   brush_name(e.steps.front().brush.type) + " / " +
                   QString::number(e.steps.size()) + " steps";
        case event_kind::undo:
            return "undo / frame " + QString::number(e.frame);
        case event_kind::redo:
            return "redo / frame " + QString::number(e.frame);
        case event_kind::cancel:
            return "cancel / frame " + QString::number(e.frame);
        case event_kind::trim:
            return "trim / frame " + QString::number(e.frame) + " / depth " +
                   QString::number(e.depth);
        case event_kind::set:
            return "set / frame " + QString::number(e.frame) + " / " + set_channel_name(e.channel) +
                   " / " + QString::number(e.ids.size()) + " particles";
    }
    return QString();
}

bool same_bytes(const QString& a, const QString& b) {
    QFile one(a), other(b);
    if (!one.open(QIODevice::ReadOnly) || !other.open(QIODevice::ReadOnly) ||
        one.size() != other.size())
        return false;
    constexpr qint64 chunk = qint64(1) << 20;
    while (!one.atEnd())
        if (one.read(chunk) != other.read(chunk)) return false;
    return true;
}

// Moves the files of `from` into the existing folder `to`. A file that is there already with the
// same bytes stays as it is (a retried run); one with other bytes is refused before anything
// moves, or replaced. A whole save (`whole`) also owns every other file of `to`: refused, or
// removed.
void merge_into(const QString& from, const QString& to, bool whole, existing_files existing,
                const std::function<void(const QString&)>& progress) {
    const bool replace = existing == existing_files::replace;
    const QStringList names = QDir(from).entryList(QDir::Files | QDir::Hidden);
    QStringList moving, unchanged, extra;
    for (const QString& name : names) {
        const QString there = to + "/" + name;
        if (!QFileInfo::exists(there))
            moving << name;
        else if (same_bytes(from + "/" + name, there))
            unchanged << name;
        else if (replace)
            moving << name;
        else
            throw session_error(session_error::kind::output,
                                there +
                                    " exists already with other contents (--overwrite "
                                    "replaces it)");
    }
    if (whole)
        for (const QString& name : QDir(to).entryList(QDir::Files | QDir::Hidden))
            if (!names.contains(name)) {
                if (!replace)
                    throw session_error(session_error::kind::output,
                                        to + " holds " + name +
                                            ", which this save does not write (--overwrite "
                                            "removes it)");
                extra << name;
            }
    for (const QString& name : moving)
        if (std::rename(QFile::encodeName(from + "/" + name).constData(),
                        QFile::encodeName(to + "/" + name).constData()) != 0)
            throw session_error(session_error::kind::output, "cannot move " + name + " into " + to);
    for (const QString& name : extra)
        if (!QFile::remove(to + "/" + name))
            throw session_error(session_error::kind::output, "cannot remove " + to + "/" + name);
    if (progress && !unchanged.isEmpty())
        progress("save / unchanged / " + QString::number(unchanged.size()) +
                 " files were there already with the same bytes");
}

bool folder_is_empty(const QString& folder) {
    return QDir(folder).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden |
                                QDir::System);
}

}  // namespace

cache_session::cache_session(const QString& script_folder, int threads)
    : window_(std::make_unique<link>()) {
    const QString scripts = QDir(script_folder).absolutePath() + "/";
    window_->folders = {scripts, scripts};
    if (threads < 1 || threads > max_threads())
        throw session_error(
            session_error::kind::input,
            QString("threads takes a number from 1 to %1, not %2").arg(max_threads()).arg(threads));
    window_->cpu_count = threads;
    window_->on_log = [this](const QString& line) {
        if (on_log) on_log(line);
    };
    window_->on_tell = [this](const QString& message) {
        if (on_progress) on_progress("warning / " + message);
    };
    start_interpreter();
}

cache_session::~cache_session() = default;

int cache_session::max_threads() {
    return pool_limit();
}

QByteArray cache_session::read_log_file(const QString& path) {
    constexpr qint64 largest_log = qint64(256) << 20;  // far beyond a day of painting
    QFile file(path);
    if (!file.exists())
        throw session_error(session_error::kind::missing, "stroke log " + path + " does not exist");
    if (!file.open(QIODevice::ReadOnly))
        throw session_error(session_error::kind::missing,
                            "cannot read stroke log " + path + ": " + file.errorString());
    QByteArray text = file.read(largest_log + 1);
    if (text.size() > largest_log)
        throw session_error(session_error::kind::input,
                            "stroke log " + path + " is larger than a stroke log can be (256 MiB)");
    return text;
}

emitter& cache_session::scene() const {
    if (!scene_) throw session_error(session_error::kind::state, "no cache folder is open");
    return *scene_;
}

void cache_session::check_failures(session_error::kind kind) {
    if (const std::optional<cache_failure> failure = window_->first_cache_failure()) {
        window_->clear_cache_failure();
        throw session_error(kind, log_line(*failure), failure->file, failure->frame);
    }
    if (const std::optional<job_failure> job = window_->first_failure())
        throw session_error(session_error::kind::replay, job->log_line());
}

void cache_session::settle_reporting(const QString& topic, const std::function<int()>& done,
                                     int total) {
    QElapsedTimer since;
    since.start();
    int reported = -1, counted = -1;
    auto report = [&] {
        const int now = done();
        if (now == reported || !on_progress) return;
        reported = now;
        on_progress(topic + " / " + QString::number(now) + " of " + QString::number(total));
    };
    auto count = [&] {
        const int now = done();
        if (now == counted || !on_count) return;
        counted = now;
        on_count(topic, now, total);
    };
    try {
        settle(*scene_, *window_, [&] {
            count();
            if (since.elapsed() < 1000) return;
            since.restart();
            report();
        });
    } catch (const replay_error& e) {
        throw session_error(session_error::kind::replay, QString::fromStdString(e.what()));
    }
    count();
    report();
}

void cache_session::open_for_log(const QString& folder, int log_version) {
    open(folder, log_version == stroke_log_reversed_version ? position_order::reversed
                                                            : position_order::file);
}

namespace {

// Frames of the scene's building or saving done, of `total`: all of them once it is over.
int frames_done(const emitter& e, scene_progress::activity what, int total) {
    const scene_progress p = e.progress();
    return p.what == what ? total - p.left() : total;
}

cache_scan scan_folder(const QString& folder) {
    const QFileInfo info(folder);
    if (!info.exists())
        throw session_error(session_error::kind::missing,
                            "cache folder " + folder + " does not exist");
    if (!info.isDir())
        throw session_error(session_error::kind::missing, folder + " is not a folder");
    cache_scan scan = scan_cache_folder(info.absoluteFilePath());
    if (scan.files.empty())
        throw session_error(
            session_error::kind::missing,
            "cache folder " + folder + " holds no cache file (*.bin, *.vdb, *.ply)");
    return scan;
}

}  // namespace

void cache_session::open(const QString& folder, position_order order) {
    const cache_scan scan = scan_folder(folder);
    folder_ = QFileInfo(folder).absoluteFilePath();
    held_range_.reset();
    open_scanned(scan, order, nullptr);
}

void cache_session::open_scanned(const cache_scan& scan, position_order order,
                                 const std::set<int>* only) {
    scene_.reset();
    window_->clear_cache_failure();
    window_->clear_job_failure();  // a new scene starts clean
    report_cache_scan(scan, *window_);
    window_->order = order;
    all_frames_.clear();
    window_->cache_files.clear();
    for (const auto& [number, path] : scan.files) {
        all_frames_.push_back(number);
        if (!only || only->count(number)) window_->cache_files.emplace(number, path);
    }
    window_->source_files = window_->cache_files;
    format_ = scan.format;
    window_->current_frame = window_->cache_files.begin()->first;
    source_.clear();

    build_scene();
    if (!only) source_ = source_of(*scene_);
}

void cache_session::open_fountain(int scale, unsigned seed) {
    if (scale != 1 && scale != 100)
        throw session_error(session_error::kind::input,
                            QString("a fountain is built at scale 1 or 100, not %1").arg(scale));
    scene_.reset();
    window_->clear_cache_failure();
    window_->clear_job_failure();
    window_->order = position_order::file;
    window_->cache_files.clear();
    window_->source_files.clear();
    window_->current_frame = 0;
    window_->generation_scale = scale;
    window_->reseed(seed);
    folder_.clear();
    format_ = cache_format::bin;
    held_range_.reset();
    source_.clear();
    build_scene();
    all_frames_ = frames();
}

void cache_session::build_scene() {
    const bool from_cache = !window_->cache_files.empty();
    QElapsedTimer clock;
    clock.start();
    scene_ = std::make_unique<emitter>(from_cache, window_.get());
    // Nobody works in the window: background work need not wait for an idle user.
    scene_->set_idle_threshold(1);
    scene_->build();
    const int total = int(scene_->frames.size());
    try {
        settle_reporting(
            "open",
            [this, total] {
                return frames_done(*scene_, scene_progress::activity::building, total);
            },
            total);
        check_failures(session_error::kind::input);
    } catch (...) {
        scene_.reset();
        throw;
    }
    if (on_progress)
        on_progress("open / " + QString::number(total) + " frames / " + seconds_since(clock));
}

std::vector<int> cache_session::frames() const {
    std::vector<int> out;
    for (const auto& [number, fs] : scene().frames)
        out.push_back(number);
    return out;
}

frame_data cache_session::frame(int number) const {
    const emitter& e = scene();
    if (!e.frames.count(number))
        throw session_error(session_error::kind::input,
                            "frame " + QString::number(number) + " is not in the scene");
    std::vector<const particle*> sorted;
    for (const auto& [id, p] : e.frame(number).particles)
        sorted.push_back(&p);
    std::sort(sorted.begin(), sorted.end(),
              [](const particle* a, const particle* b) { return a->id < b->id; });
    frame_data out;
    out.ids.reserve(sorted.size());
    out.positions.reserve(sorted.size() * 3);
    const bool reversed = window_->order == position_order::reversed;
    for (const particle* p : sorted) {
        out.ids.push_back(p->id);
        const vec3& at = p->position;
        out.positions.insert(out.positions.end(),
                             {reversed ? at[2] : at[0], at[1], reversed ? at[0] : at[2]});
        out.scales.push_back(p->scale);
        out.weights.push_back(p->weight);
    }
    return out;
}

frame_channel cache_session::channel(int number, const QString& name) const {
    const emitter& e = scene();
    using kind = session_error::kind;
    if (!e.frames.count(number))
        throw session_error(kind::input,
                            "frame " + QString::number(number) + " is not in the scene");
    const frame_set& fs = e.frame(number);
    const auto source = window_->source_files.find(number);
    if (fs.source_records < 0 || source == window_->source_files.end())
        throw session_error(kind::input,
                            QString("frame %1 was not read from a cache file: it has no channel "
                                    "\"%2\", only positions, scales and weights")
                                .arg(number)
                                .arg(name));
    record_channels read;
    try {
        read = read_record_channel(source->second, name);
    } catch (const bin_error& err) {
        throw session_error(kind::input, QString::fromStdString(err.what()));
    }
    if (!read.found) {
        QStringList names;
        for (const QString& n : read.names)
            names << n;
        throw session_error(kind::input, QString("frame %1 has no channel \"%2\"; %3 holds %4")
                                             .arg(number)
                                             .arg(name)
                                             .arg(QFileInfo(source->second).fileName())
                                             .arg(names.isEmpty() ? "none" : names.join(", ")));
    }
    const record_channel& c = *read.found;
    const int bytes = c.record_size();
    const size_t records = read.ids.size();
    if (records != size_t(fs.source_records) || c.values.size() != qsizetype(records) * bytes)
        throw session_error(kind::input, source->second + " changed since frame " +
                                             QString::number(number) + " was read from it");

    std::vector<const particle*> sorted;
    for (const auto& [id, p] : fs.particles)
        sorted.push_back(&p);
    std::sort(sorted.begin(), sorted.end(),
              [](const particle* a, const particle* b) { return a->id < b->id; });
    frame_channel out{c.kind, c.item_size, c.width,
                      QByteArray(qsizetype(sorted.size()) * bytes, 0)};
    for (size_t i = 0; i < sorted.size(); ++i) {
        const particle& p = *sorted[i];
        if (p.record < 0 || size_t(p.record) >= records || read.ids[size_t(p.record)] != p.id)
            throw session_error(kind::input, source->second + " changed since frame " +
                                                 QString::number(number) + " was read from it");
        char* at = out.values.data() + qsizetype(i) * bytes;
        std::memcpy(at, c.values.constData() + qsizetype(p.record) * bytes, size_t(bytes));
        // The edits: a save writes these values, not the file's.
        if (c.role == channel_role::position) {
            const vec3 xyz = in_scene_order(p.position, window_->order);
            if (c.component >= 0)
                put_component(xyz[c.component], c.kind, c.item_size, at);
            else
                for (int k = 0; k < 3 && k < c.width; ++k)
                    put_component(xyz[k], c.kind, c.item_size, at + k * c.item_size);
        } else if (c.role == channel_role::scale) {
            put_component(p.scale, c.kind, c.item_size, at);
        }
    }
    return out;
}

int cache_session::current_frame() const {
    scene();
    return window_->current_frame;
}

void cache_session::apply(const log_event& event) {
    run(event, nullptr);
}

void cache_session::run(const log_event& event, const step_preparer& prepare) {
    emitter& e = scene();
    if ((event.kind == event_kind::stroke || event.kind == event_kind::set) &&
        window_->order == position_order::reversed && !replaying_)
        throw session_error(session_error::kind::state,
                            "this scene holds positions reversed for a version 1 stroke log; open "
                            "it again to edit it");
    try {
        if (prepare)
            ::kavrin::replay(e, *window_, event, prepare);
        else
            ::kavrin::replay(e, *window_, event);
    } catch (const replay_error& err) {
        throw session_error(session_error::kind::replay,
                            describe(event) + ": " + QString::fromStdString(err.what()));
    }
}

void cache_session::set_values(int frame, set_channel channel, std::vector<int32_t> ids,
                               std::vector<float> values) {
    log_event event;
    event.kind = event_kind::set;
    event.frame = frame;
    event.channel = channel;
    event.ids = std::move(ids);
    event.values = std::move(values);
    if (const QString problem = set_values_problem(scene(), event); !problem.isEmpty())
        throw session_error(session_error::kind::input,
                            "set " + set_channel_name(channel) + "s: " + problem);
    window_->current_frame = frame;
    apply(event);
}

std::map<int, int> cache_session::apply_stroke(const log_event& event,
                                               const std::vector<bool>& without_vector) {
    emitter& e = scene();
    const int depth = e.history().undo_depth();
    std::optional<vec3> previous;
    // Without a vector to find, the stroke goes as a replayed one.
    const bool finding =
        std::find(without_vector.begin(), without_vector.end(), true) != without_vector.end() &&
        e.frames.count(event.frame);
    const step_preparer prepare = [&](step_inputs& step, size_t i) {
        if (i < without_vector.size() && without_vector[i]) {
            const std::optional<vec3> v = step_vector(e.frame(event.frame), event.steps, i);
            if (!v && !previous)
                throw session_error(
                    session_error::kind::input,
                    QString("steps[%1]: no \"vector\", and the %2 brush finds none there (%3)")
                        .arg(i)
                        .arg(brush_name(step.brush.type))
                        .arg(step.brush.type == brush_kind::normal
                                 ? "no surface under the pick"
                                 : "the picks do not move across the view"));
            step.brush.vector = v ? *v : *previous;
        }
        previous = step.brush.vector;
    };
    run(event, finding ? prepare : step_preparer());
    std::map<int, int> changed;
    if (e.history().undo_depth() == depth) return changed;
    // The stroke's generation: its entry in the history of every frame it reached.
    for (const auto& [number, fs] : e.frames) {
        const history_hold history = fs.read_history();
        for (const stroke& s : history.entries())
            if (s.depth == depth && !s.undone) changed[number] += int(s.recorded.size());
    }
    return changed;
}

void cache_session::check_source(const source_fingerprint& recorded, source_check check) const {
    if (recorded.empty() || check == source_check::force) return;
    if (const QString difference = source_difference(recorded, *scene_, all_frames_);
        !difference.isEmpty())
        throw session_error(session_error::kind::input,
                            "the stroke log was recorded on another cache: " + difference);
}

void cache_session::replay(const std::vector<log_event>& events, int log_version,
                           const source_fingerprint& recorded, source_check check) {
    scene();
    const position_order wanted = log_version == stroke_log_reversed_version
                                      ? position_order::reversed
                                      : position_order::file;
    if (wanted != window_->order) {
        if (!scene_->recorder.events().empty())
            throw session_error(session_error::kind::replay,
                                QString("a version %1 stroke log replays onto a freshly opened "
                                        "scene only: this one has been edited")
                                    .arg(log_version));
        open(folder_, wanted);
    }
    check_source(recorded, check);
    if (scene_->recorder.events().empty()) source_ = recorded;
    replay_events(events, nullptr);
}

void cache_session::replay_events(const std::vector<log_event>& events,
                                  const std::vector<bool>* held) {
    struct replaying_flag {
        bool& flag;
        explicit replaying_flag(bool& f) : flag(f) { flag = true; }
        ~replaying_flag() { flag = false; }
    } during(replaying_);
    QElapsedTimer clock;
    clock.start();
    const int total = int(events.size());
    for (int i = 0; i < total; ++i) {
        const bool elsewhere = held && !(*held)[i];
        if (on_progress)
            on_progress("replay / " + QString::number(i + 1) + " of " + QString::number(total) +
                        " / " + describe(events[i]) +
                        (elsewhere ? " / outside the frames saved" : ""));
        try {
            if (elsewhere)
                replay_elsewhere(*scene_, *window_, events[i]);
            else
                apply(events[i]);
        } catch (const replay_error& err) {
            throw session_error(
                session_error::kind::replay,
                "event " + QString::number(i + 1) + ": " + describe(events[i]) + ": " + err.what());
        } catch (const session_error& err) {
            throw session_error(err.why, "event " + QString::number(i + 1) + ": " + err.what());
        }
        if (on_count) on_count("replay", i + 1, total);
    }
    if (on_progress)
        on_progress("replay / " + QString::number(total) + " events / " + seconds_since(clock));
}

void cache_session::replay_for_range(const QString& folder, const std::vector<log_event>& events,
                                     int log_version, const frame_range& range,
                                     const source_fingerprint& recorded, source_check check) {
    const cache_scan scan = scan_folder(folder);
    std::vector<int> numbers;
    for (const auto& [number, path] : scan.files)
        numbers.push_back(number);
    if (numbers.back() < range.first || numbers.front() > range.second ||
        std::none_of(numbers.begin(), numbers.end(),
                     [&](int f) { return f >= range.first && f <= range.second; }))
        throw session_error(session_error::kind::input,
                            QString("no frame of %1 lies in %2-%3 (its frames: %4-%5)")
                                .arg(folder)
                                .arg(range.first)
                                .arg(range.second)
                                .arg(numbers.front())
                                .arg(numbers.back()));
    if (on_progress && (range.first < numbers.front() || range.second > numbers.back()))
        on_progress(QString("warning / frames %1-%2 reach beyond the cache folder's frames %3-%4")
                        .arg(range.first)
                        .arg(range.second)
                        .arg(numbers.front())
                        .arg(numbers.back()));
    const partial_replay plan = plan_partial_replay(events, numbers, range.first, range.second);
    if (on_progress)
        on_progress(
            QString("open / frames needed / %1 of %2").arg(plan.frames.size()).arg(numbers.size()));
    folder_ = QFileInfo(folder).absoluteFilePath();
    held_range_.reset();
    open_scanned(scan,
                 log_version == stroke_log_reversed_version ? position_order::reversed
                                                            : position_order::file,
                 &plan.frames);

    check_source(recorded, check);
    source_ = recorded;
    replay_events(events, &plan.held);
    held_range_ = range;
}

QByteArray cache_session::log_json() const {
    return stroke_log_json(scene().recorder.events(),
                           window_->order == position_order::reversed ? stroke_log_reversed_version
                                                                      : stroke_log_version,
                           source_);
}

QString cache_session::output_problem(const QString& folder, bool with_range,
                                      const QString& input) {
    const QFileInfo info(QDir::cleanPath(QFileInfo(folder).absoluteFilePath()));
    if (info.fileName().isEmpty()) return folder + " cannot hold a cache";
    if (info.exists() && !info.isDir()) return info.filePath() + " exists and is not a folder";
    if (!input.isEmpty()) {
        const QString read = QFileInfo(input).canonicalFilePath();
        QFileInfo at = info;  // the nearest folder on the way that exists, resolved
        while (!at.exists() && at.absoluteFilePath() != at.absolutePath())
            at = QFileInfo(at.absolutePath());
        const QString written = at.canonicalFilePath();
        if (!read.isEmpty() && (written == read || written.startsWith(read + "/")))
            return "output folder " + info.filePath() + " lies in the cache folder it reads";
    }
    if (info.exists()) {
        // Only files this save writes, <name>.<frame>.<format> and <name>.strokes.json: from other
        // ranges of it, or from an earlier run that a retry finds.
        const QString base = info.fileName();
        const QRegularExpression ours("^" + QRegularExpression::escape(base) +
                                      "\\.([0-9]+\\.(bin|vdb|ply)|strokes\\.json)$");
        for (const QString& name :
             QDir(info.filePath())
                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System))
            if (!ours.match(name).hasMatch())
                return "output folder " + info.filePath() +
                       (with_range ? "" : " is not empty: it") + " holds " + name +
                       ", which is not a file of this save";
    }
    // The nearest folder that exists on the way must take a new folder.
    QFileInfo at(info.absolutePath());
    while (!at.exists() && at.absoluteFilePath() != at.absolutePath())
        at = QFileInfo(at.absolutePath());
    if (!at.isDir() || !at.isWritable()) return "cannot write in " + at.absoluteFilePath();
    return QString();
}

void cache_session::save(const QString& folder, const std::optional<frame_range>& range,
                         const std::optional<cache_format>& format, existing_files existing) {
    emitter& e = scene();
    using kind = session_error::kind;
    if (held_range_ &&
        (!range || range->first < held_range_->first || range->second > held_range_->second))
        throw session_error(kind::state, QString("this scene was opened to save frames %1-%2 only")
                                             .arg(held_range_->first)
                                             .arg(held_range_->second));
    if (const QString problem = output_problem(folder, bool(range), folder_); !problem.isEmpty())
        throw session_error(kind::output, problem);
    const QString target = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    const QFileInfo info(target);
    const QString base = info.fileName();
    const bool filled = info.exists() && !folder_is_empty(target);

    // Named by every frame of the folder read, as a whole save names them; written only where
    // held.
    const cache_format written = format.value_or(format_);
    const std::map<int, QString> plan = plan_cache_save(target, all_frames_, written);
    std::map<int, QString> chosen;
    for (const auto& [number, path] : plan)
        if ((!range || (number >= range->first && number <= range->second)) &&
            e.frames.count(number))
            chosen.emplace(number, path);
    if (chosen.empty())
        throw session_error(
            kind::input,
            QString("no frame of the scene lies in %1-%2").arg(range->first).arg(range->second));

    // Written aside, in a folder of our own next to the target, then moved into place.
    const QString parent = info.absolutePath();
    if (!QDir().mkpath(parent)) throw session_error(kind::output, "cannot create " + parent);
    partial_folder::sweep_stale(target);
    partial_folder aside(target);
    if (aside.path().isEmpty())
        throw session_error(kind::output, "cannot write in " + parent + " (no new folder)");

    if (!window_->source_files.empty())
        for (const QString& name :
             dropped_attributes(window_->source_files.begin()->second, written))
            window_->log("cache save / dropped attribute / " + name);

    QElapsedTimer clock;
    clock.start();
    window_->clear_cache_failure();
    window_->cache_files.clear();
    for (const auto& [number, path] : chosen)
        window_->cache_files[number] = aside.path() + "/" + QFileInfo(path).fileName();
    e.mark_for_save();
    const int total = int(chosen.size());
    settle_reporting(
        "save", [&e, total] { return frames_done(e, scene_progress::activity::saving, total); },
        total);
    window_->cache_files.clear();
    for (const auto& [number, path] : chosen)
        window_->cache_files[number] = path;
    check_failures(kind::output);

    QString error;
    if (!write_whole_file(aside.path() + "/" + stroke_log_name(target), log_json(), &error))
        throw session_error(kind::output, "cannot write the stroke log: " + error);

    // A folder that is there but empty would block the rename; it holds nothing to lose.
    if (QFileInfo::exists(target) && !filled) QDir().rmdir(target);
    if (!QFileInfo::exists(target) && QDir().rename(aside.path(), target)) {
        aside.moved_into_place();
    } else {
        if (!QFileInfo(target).isDir())
            throw session_error(kind::output, "cannot move the saved files to " + target);
        // Another range of the same save, or an earlier run of this one, got there first.
        merge_into(aside.path(), target, !range, existing, on_progress);
    }
    if (on_progress)
        on_progress("save / " + QString::number(total) + " frames / " + seconds_since(clock) +
                    " / " + target);
}

}  // namespace kavrin
