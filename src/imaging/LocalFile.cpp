#include "LocalFile.h"

#include <QFile>
#include <QStringList>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int fileFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// The name of the one entry of the open folder that decodes to `name`, or
// nothing when none or several do.
QByteArray entryNamed(int folder, const QString& name)
{
    const int copy = ::dup(folder);
    if (copy < 0)
        return {};
    DIR* dir = ::fdopendir(copy);
    if (!dir) {
        ::close(copy);
        return {};
    }
    QByteArray found;
    int matches = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (QFile::decodeName(entry->d_name) == name && ++matches == 1)
            found = entry->d_name;
    }
    ::closedir(dir);
    return matches == 1 ? found : QByteArray();
}

// Opens `path` component by component from its first folder, finding each
// component that holds U+FFFD among the entries of its folder.
int openRecovered(const QString& path)
{
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return -1;
    int folder = ::open(path.startsWith(QLatin1Char('/')) ? "/" : ".", folderFlags);
    for (qsizetype i = 0; folder >= 0 && i < parts.size(); ++i) {
        const bool last = i == parts.size() - 1;
        QByteArray name = QFile::encodeName(parts.at(i));
        if (parts.at(i).contains(QChar::ReplacementCharacter))
            name = entryNamed(folder, parts.at(i));
        const int next = name.isEmpty() ? -1
                                        : ::openat(folder, name.constData(),
                                                   last ? fileFlags : folderFlags);
        ::close(folder);
        folder = next;
    }
    return folder;
}

} // namespace

std::unique_ptr<QFile> LocalFile::openRegular(const QString& path)
{
    if (path.isEmpty())
        return nullptr;
    int fd = ::open(QFile::encodeName(path).constData(), fileFlags);
    if (fd < 0 && errno == ENOENT && path.contains(QChar::ReplacementCharacter))
        fd = openRecovered(path);
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
