// kavrin-batch: replays a stroke log on a cache folder without a display and writes the result
// as a new cache folder, as the window would have saved it.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>

#include <pthread.h>
#include <signal.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QStringList>
#include <QThread>

#include "scene/replay.h"
#include "scene/stroke_log.h"
#include "exchange/cache_folder.h"
#include "exchange/cache_session.h"
#include "exchange/partial_folder.h"

using namespace kavrin;

namespace {

// Exit statuses, one per kind of failure, so that a farm scheduler can tell them apart.
enum status {
    ok = 0,
    replay_failed = 1,
    usage = 2,
    missing_input = 3,
    bad_input = 4,
    output_failed = 5,
};

void say(const QString& line) {
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

int fail(status code, const QString& message) {
    say("kavrin-batch: error: " + message);
    return code;
}

status status_of(session_error::kind k) {
    switch (k) {
        case session_error::kind::missing:
            return missing_input;
        case session_error::kind::input:
            return bad_input;
        case session_error::kind::output:
            return output_failed;
        default:
            return replay_failed;
    }
}

// The script library: beside the program in the build tree, under share/ once installed.
QString script_folder() {
    // The program's own folder; no application object is made to ask for it.
    const QString here = QFileInfo(QFileInfo("/proc/self/exe").canonicalFilePath()).absolutePath();
    for (const QString& candidate : {here + "/resource/python", here + "/../share/kavrin/python"})
        if (QFileInfo::exists(candidate + "/shared_lib.py")) return QDir(candidate).absolutePath();
    return QString();
}

// "A-B" or "A": frame numbers from A to B.
std::optional<frame_range> parse_frames(const QString& text) {
    static const QRegularExpression form("^(\\d{1,9})(?:-(\\d{1,9}))?$");
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch()) return std::nullopt;
    const int first = m.captured(1).toInt();
    const int last = m.captured(2).isEmpty() ? first : m.captured(2).toInt();
    if (last < first) return std::nullopt;
    return frame_range{first, last};
}

// SIGINT and SIGTERM go to a thread of their own (blocked everywhere else, before any thread
// starts), so that a stopped run removes its partial folder with ordinary calls, not inside a
// signal handler.
void stop_cleanly_on_signals() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    std::thread([stops] {
        int signal = 0;
        if (sigwait(&stops, &signal) != 0) return;
        partial_folder::remove_all_of_this_process();
        say(QString("kavrin-batch: stopped by signal %1; its partial files are removed")
                .arg(signal));
        std::_Exit(128 + signal);
    }).detach();
}

// "progress <done> <total>" over the whole run: the frames opened, the events replayed and the
// frames saved, each counted once.
class run_progress {
  public:
    run_progress(int opened, int events, int saved) : total_(opened + events + saved) {
        offsets_["open"] = 0;
        offsets_["replay"] = opened;
        offsets_["save"] = opened + events;
    }
    void count(const QString& phase, int done) {
        const int now = offsets_.value(phase) + done;
        if (now <= printed_) return;
        printed_ = now;
        std::printf("progress %d %d\n", now, total_);
        std::fflush(stdout);
    }

  private:
    const int total_;
    QHash<QString, int> offsets_;
    int printed_ = -1;
};

// What a run opens, replays and saves, told by the folder's file names alone.
run_progress planned_counts(const QString& cache, const std::vector<log_event>& events,
                            const std::optional<frame_range>& range) {
    std::vector<int> numbers;
    for (const auto& [number, path] : scan_cache_folder(QFileInfo(cache).absoluteFilePath()).files)
        numbers.push_back(number);
    const int all = int(numbers.size()), replayed = int(events.size());
    if (!range) return run_progress(all, replayed, all);
    const partial_replay plan = plan_partial_replay(events, numbers, range->first, range->second);
    const int saved = int(std::count_if(numbers.begin(), numbers.end(), [&](int f) {
        return f >= range->first && f <= range->second;
    }));
    return run_progress(int(plan.frames.size()), replayed, saved);
}

}  // namespace

int main(int argc, char** argv) {
    stop_cleanly_on_signals();
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Replays a stroke log on a Kavrin cache folder and writes the result as a new cache "
        "folder, with the log beside it.");
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption frames_option(
        "frames",
        "Write only frames A to B. Only they and the frames the log's strokes carry into them "
        "are read, and only the strokes that reach them are replayed.",
        "A-B");
    const QCommandLineOption threads_option(
        "threads", "Worker threads (default: processor cores - 1, at least 1).", "N");
    const QCommandLineOption verbose_option("verbose", "Also print the engine's log lines.");
    const QCommandLineOption overwrite_option(
        "overwrite",
        "Replace output files that are there with other contents (files with the same contents "
        "are always kept, so that a retried run succeeds without writing).");
    const QCommandLineOption progress_option(
        "progress", "Print \"progress <done> <total>\" lines on standard output as the run goes.");
    const QCommandLineOption force_option(
        "force",
        "Replay a log that names another cache than the one given (its frames, "
        "particle counts or ids differ).");
    const QCommandLineOption format_option(
        "format", "Write the cache files as bin, vdb or ply (default: the input's format).", "F");
    parser.addOptions({frames_option, threads_option, verbose_option, overwrite_option,
                       progress_option, force_option, format_option});
    parser.addPositionalArgument("cache", "The cache folder to start from.");
    parser.addPositionalArgument("log", "The stroke log to replay (<name>.strokes.json).");
    parser.addPositionalArgument("output", "The cache folder to write.");
    if (!parser.parse(arguments)) return fail(usage, parser.errorText());
    if (parser.isSet("help")) {
        // The usage line names the program as the application object has it; only help needs one.
        const QCoreApplication named(argc, argv);
        std::printf("%s", parser.helpText().toLocal8Bit().constData());
        return ok;
    }
    if (parser.isSet("version")) {
        std::printf("kavrin-batch %s\n", KAVRIN_VERSION);
        return ok;
    }
    const QStringList args = parser.positionalArguments();
    if (args.size() != 3)
        return fail(usage,
                    "expected a cache folder, a stroke log and an output folder (see "
                    "--help)");
    const QString cache = args[0], log_path = args[1], output = args[2];

    std::optional<frame_range> range;
    if (parser.isSet(frames_option)) {
        range = parse_frames(parser.value(frames_option));
        if (!range) return fail(usage, "--frames takes A-B with 0 <= A <= B, or A");
    }
    std::optional<cache_format> format;
    if (parser.isSet(format_option)) {
        format = parse_cache_format(parser.value(format_option));
        if (!format) return fail(usage, "--format takes bin, vdb or ply");
    }
    int threads = std::clamp(QThread::idealThreadCount() - 1, 1, 12);
    if (parser.isSet(threads_option)) {
        bool number = false;
        threads = parser.value(threads_option).toInt(&number);
        if (!number || threads < 1 || threads > cache_session::max_threads())
            return fail(
                usage,
                QString("--threads takes a number from 1 to %1").arg(cache_session::max_threads()));
    }

    // Everything that can be checked quickly is checked before the long work starts.
    QByteArray log_text;
    try {
        log_text = cache_session::read_log_file(log_path);
    } catch (const session_error& e) {
        return fail(status_of(e.why), QString::fromStdString(e.what()));
    }
    QString error;
    int log_version = stroke_log_version;
    source_fingerprint recorded;
    const auto events = read_stroke_log(log_text, &error, &log_version, &recorded);
    if (!events) return fail(bad_input, "stroke log " + log_path + ": " + error);
    if (!QFileInfo::exists(cache))
        return fail(missing_input, "cache folder " + cache + " does not exist");
    if (const QString problem = cache_session::output_problem(output, bool(range), cache);
        !problem.isEmpty())
        return fail(output_failed, problem);
    if (const int swept = partial_folder::sweep_stale(output); swept > 0)
        say(QString("warning / removed %1 partial folders of stopped runs").arg(swept));
    const QString scripts = script_folder();
    if (scripts.isEmpty())
        return fail(missing_input,
                    "the script library (shared_lib.py) is not installed beside "
                    "the program");

    try {
        cache_session session(scripts, threads);
        session.on_progress = say;
        if (parser.isSet(verbose_option))
            session.on_log = [](const QString& l) { say("log / " + l); };
        const source_check check =
            parser.isSet(force_option) ? source_check::force : source_check::refuse;
        std::optional<run_progress> progress;
        if (parser.isSet(progress_option)) {
            progress.emplace(planned_counts(cache, *events, range));
            session.on_count = [&progress](const QString& phase, int done, int) {
                progress->count(phase, done);
            };
        }
        if (range) {
            session.replay_for_range(cache, *events, log_version, *range, recorded, check);
        } else {
            session.open_for_log(cache, log_version);
            session.replay(*events, log_version, recorded, check);
        }
        session.save(
            output, range, format,
            parser.isSet(overwrite_option) ? existing_files::replace : existing_files::refuse);
    } catch (const session_error& e) {
        return fail(status_of(e.why), QString::fromStdString(e.what()));
    }
    return ok;
}
