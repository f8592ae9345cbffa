#pragma once
// The program's calls into its script library, run by the embedded interpreter. Every call takes
// the interpreter lock for its duration, so any thread may call; a failure inside a script
// comes back as script_error and leaves the interpreter ready for the next call.

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

// Starts the embedded interpreter once and releases its lock, so that no thread holds it;
// safe to call again.
void start_interpreter();

namespace script {

// Trims the debug log and drops what an interrupted update left behind.
void clean(const script_folders&, const QString& debug_txt, int type, bool is_release);
// Facts about this computer; "core" holds the processor count in decimal.
std::unordered_map<std::string, QString> place(const script_folders&, const QString& debug_txt,
                                               bool is_online);
// Whether the download server has the file at the relative path remote.
bool exist(const script_folders&, const QString& remote);
// Downloads remote to local (type true) or uploads local to remote (type false).
bool get_put(const script_folders&, const QString& remote, const QString& local, bool type);
// Unpacks an archive beside itself, into a folder named after it without ".zip".
void unzip(const script_folders&, const QString& archive);
// Fetches the file local from the server folder of the current revision.
void sync(const script_folders&, const QString& local, const QString& server_revision_folder);
// Fetches the latest package; returns a text for the message shown to the user.
QString update(const script_folders&, const QString& current, const QString& latest,
               const QString& package_folder);

}  // namespace script
}  // namespace kavrin
