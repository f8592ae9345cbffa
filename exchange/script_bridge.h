#pragma once
// The program's calls into its script library, run by the embedded interpreter. Every call takes
// the interpreter lock for its duration, so any thread may call; a failure inside a script
// comes back as script_error and leaves the interpreter ready for the next call.

#include <atomic>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include <QString>

namespace kavrin {

// Where the script modules live: wrap_ftp in the application folder, every other module in the
// script folder. Both end with "/".
struct script_folders {
    QString app_dir;
    QString python_dir;
};

// A script call failed; what() holds the Python exception type and message.
class script_error : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What the program asks of its calls to the download server, and learns from them, while they
// run on another thread. Every field is read and written without the interpreter lock.
struct transfer_control {
    std::atomic<bool> cancel{false};   // the calls stop within a moment and fail as "cancelled"
    std::atomic<long long> done{0};    // bytes of the body under way so far
    std::atomic<long long> total{-1};  // bytes that body should have, -1 when not said
    // Every call ends by this time at the latest, besides its own deadline. Set before the
    // calls start; read only by the thread that makes them.
    std::optional<std::chrono::steady_clock::time_point> deadline;
};

// Starts the embedded interpreter once and releases its lock, so that no thread holds it;
// safe to call again.
void start_interpreter();

namespace script {

// Trims the debug log and drops what an interrupted update left behind.
void clean(const script_folders&, const QString& debug_txt, int type, bool is_release);
// Facts about this computer; "core" holds the processor count in decimal.
std::unordered_map<std::string, QString> place(const script_folders&, const QString& debug_txt,
                                               bool is_online);
// Calls to the download server. Each ends by its own deadline (the answer within 3 s, a body at
// a minimum average rate) and, with a control, also by its deadline or when it is cancelled;
// a download that does not finish leaves no file behind.
// Whether the download server has the file at the relative path remote.
bool exist(const script_folders&, const QString& remote, transfer_control* control = nullptr);
// Downloads remote to local (type true) or uploads local to remote (type false).
bool get_put(const script_folders&, const QString& remote, const QString& local, bool type,
             transfer_control* control = nullptr);
// Unpacks an archive beside itself, into a folder named after it without ".zip".
void unzip(const script_folders&, const QString& archive);
// Fetches the file local from the server folder of the current revision.
void sync(const script_folders&, const QString& local, const QString& server_revision_folder,
          transfer_control* control = nullptr);
// Fetches the latest package; returns a text for the message shown to the user.
QString update(const script_folders&, const QString& current, const QString& latest,
               const QString& package_folder, transfer_control* control = nullptr);

}  // namespace script
}  // namespace kavrin
