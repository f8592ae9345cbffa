#include "exchange/file_beside.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include "exchange/bin_file.h"

namespace kavrin {

file_beside::file_beside(const QString& path) : path_(path) {
    const QFileInfo target(path);
    while (fd_ < 0) {
        temp_ = QFile::encodeName(target.absolutePath() + "/." + target.fileName() + "." +
                                  QString::number(QRandomGenerator::global()->generate64(), 16) +
                                  ".part");
        fd_ = ::open(temp_.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0 && errno != EEXIST) fail(errno);
    }
}

file_beside::~file_beside() {
    if (fd_ >= 0) ::close(fd_);
    if (!done_) ::unlink(temp_.constData());
}

void file_beside::write(const char* data, size_t size) {
    for (size_t at = 0; at < size;) {
        const ssize_t n = ::write(fd_, data + at, size - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail(n < 0 ? errno : EIO);
        at += size_t(n);
    }
}

void file_beside::write_at_start(const char* data, size_t size) {
    if (::pwrite(fd_, data, size, 0) != ssize_t(size)) fail(errno);
}

void file_beside::finish() {
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0) fail(errno);
    if (::rename(temp_.constData(), QFile::encodeName(path_).constData()) != 0) fail(errno);
    done_ = true;
}

void file_beside::fail(int error) const {
    throw bin_error(path_, QString("cannot be written: ") + std::strerror(error));
}

}  // namespace kavrin
