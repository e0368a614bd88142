#include "FileCommit.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Writes everything, across short writes and interruptions.
int writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += n;
        size -= size_t(n);
    }
    return 0;
}

QByteArray folderOf(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    return slash == 0 ? QByteArrayLiteral("/") : path.left(slash);
}

// Makes the name `temp` take the place of `path`.
int commit(const QByteArray& temp, const QByteArray& path, FileCommit::Replace replace)
{
    if (replace == FileCommit::Replace::never) {
        if (::renameat2(AT_FDCWD, temp.constData(), AT_FDCWD, path.constData(), RENAME_NOREPLACE) ==
            0)
            return 0;
        if (errno != EINVAL && errno != ENOSYS)
            return errno;
        // A file system without the flag: a hard link never replaces either.
        if (::link(temp.constData(), path.constData()) != 0)
            return errno;
        ::unlink(temp.constData());
        return 0;
    }
    if (replace == FileCommit::Replace::regularFile) {
        struct stat there
        {
        };
        if (::lstat(path.constData(), &there) == 0 && !S_ISREG(there.st_mode))
            return S_ISDIR(there.st_mode) ? EISDIR : EEXIST;
    }
    // rename() replaces a link itself, never what it points to.
    return ::rename(temp.constData(), path.constData()) == 0 ? 0 : errno;
}

// Writes the bytes whole to a new file in `folder`, named after `name`,
// flushed to the disk; its path in `*temp`. An errno, or 0.
int stage(const QByteArray& folder, const QByteArray& name, const QByteArray& bytes,
          QByteArray* temp)
{
    std::random_device random;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        *temp = folder + "/." + name + ".part-" + QByteArray::number(random(), 36);
        fd = ::open(temp->constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return errno;
    }
    if (fd < 0)
        return EEXIST;
    int error = writeAll(fd, bytes.constData(), size_t(bytes.size()));
    if (!error && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && !error)
        error = errno;
    if (error)
        ::unlink(temp->constData());
    return error;
}

// The new name itself reaches the disk with the folder.
void syncFolder(const QByteArray& path)
{
    const int folder = ::open(folderOf(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
}

} // namespace

QString FileCommit::Result::text() const
{
    return QString::fromLocal8Bit(std::strerror(error));
}

FileCommit::Result FileCommit::write(const QByteArray& path, const QByteArray& bytes,
                                     Replace replace)
{
    if (path.isEmpty() || path.endsWith('/'))
        return {EISDIR};
    QByteArray temp;
    int error = stage(folderOf(path), path.mid(path.lastIndexOf('/') + 1), bytes, &temp);
    if (error)
        return {error};
    error = commit(temp, path, replace);
    if (error) {
        ::unlink(temp.constData());
        return {error};
    }
    syncFolder(path);
    return {};
}

FileCommit::Result FileCommit::writeFirstFree(const QByteArray& folder, const QByteArray& bytes,
                                              const std::function<QByteArray()>& next,
                                              QByteArray* taken)
{
    *taken = next();
    if (taken->isEmpty())
        return {EEXIST};
    QByteArray temp;
    int error = stage(folder, taken->mid(taken->lastIndexOf('/') + 1), bytes, &temp);
    if (error)
        return {error};
    while (!taken->isEmpty()) {
        error = commit(temp, *taken, Replace::never);
        if (error != EEXIST)
            break;
        *taken = next();
    }
    if (taken->isEmpty())
        error = EEXIST;
    if (error) {
        ::unlink(temp.constData());
        return {error};
    }
    syncFolder(*taken);
    return {};
}
