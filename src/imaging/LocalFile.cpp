#include "LocalFile.h"

#include <QFile>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int fileFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

} // namespace

std::unique_ptr<QFile> LocalFile::openRegular(const QByteArray& path)
{
    if (path.isEmpty())
        return nullptr;
    const int fd = ::open(path.constData(), fileFlags);
    if (fd < 0)
        return nullptr;
    struct stat status;
    const int flags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || flags < 0
        || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return nullptr;
    }
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return nullptr;
    }
    return file;
}
