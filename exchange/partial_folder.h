#pragma once
// The folder a save writes into before its files move into place. Its name carries the host and
// process that own it, so that a later run can remove what a killed one left, and every live
// one is listed, so that a program stopped by a signal can remove its own.

#include <QString>

namespace kavrin {

class partial_folder {
  public:
    // A new folder beside target: <parent>/.<target name>.partial-<host>-<pid>-<random>. path()
    // is empty when none could be made.
    explicit partial_folder(const QString& target);
    // Removes the folder with what it holds, unless it was moved into place.
    ~partial_folder();
    partial_folder(const partial_folder&) = delete;
    partial_folder& operator=(const partial_folder&) = delete;

    const QString& path() const { return path_; }
    // The folder became the target: it is no longer ours to remove.
    void moved_into_place();

    // Removes every partial folder of this process that still exists. For a signal: call it from
    // an ordinary thread, never from a handler.
    static void remove_all_of_this_process();
    // Removes the partial folders beside target that a process of this host left and that no
    // longer runs; returns how many went. Folders of other hosts (a shared farm disk) and of
    // running processes stay.
    static int sweep_stale(const QString& target);

  private:
    QString path_;
};

}  // namespace kavrin
