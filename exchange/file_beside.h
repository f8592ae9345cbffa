#pragma once
// A cache file being written: a new file beside the target that replaces it once complete, so
// that readers see the old file or the whole new one. Shared by the writers of every format.

#include <cstddef>

#include <QByteArray>
#include <QString>

namespace kavrin {

// Like the script library's writing it does not wait for the disk: a save is about what other
// programs read next, and a sync per frame would cost more than the writing. Failures throw
// bin_error naming the target.
class file_beside {
  public:
    explicit file_beside(const QString& path);
    ~file_beside();
    file_beside(const file_beside&) = delete;
    file_beside& operator=(const file_beside&) = delete;

    void write(const char* data, size_t size);
    void write_at_start(const char* data, size_t size);
    // The file being written, for a library that writes by name.
    const QByteArray& temp_path() const { return temp_; }
    // Closes the file and puts it in place of the target.
    void finish();

  private:
    const QString path_;
    QByteArray temp_;
    int fd_ = -1;
    bool done_ = false;

    [[noreturn]] void fail(int error) const;
};

}  // namespace kavrin
