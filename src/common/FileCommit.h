#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

// Writes whole files so that a failure at any point (a full disk, a file
// size limit, a vanished folder) leaves no partial file behind and an
// existing file byte for byte as it was. The bytes go to a new file beside
// the target, created with the usual permissions (0666 less the umask),
// are flushed to the disk, and only then take the target's name. A symbolic
// link or other special file at the target is never written through.
class FileCommit final
{
public:
    FileCommit() = delete;

    enum class Replace {
        never,       // an existing name fails with EEXIST, whatever it is
        regularFile, // a regular file is replaced; anything else fails
        anything     // whatever has the name is replaced (never written into)
    };

    struct Result
    {
        int error = 0; // errno of the failure, 0 on success
        explicit operator bool() const { return error == 0; }
        // The system's own text for the failure ("No space left on device").
        QString text() const;
    };

    // `path` in the file system's own bytes (QFile::encodeName of a name
    // that came as text).
    static Result write(const QByteArray& path, const QByteArray& bytes, Replace replace);

    // Writes `bytes` once, in `folder`, and gives them the first of the paths
    // `next` offers (in that folder) that is free, never replacing anything.
    // `next` returns the following path to try, or an empty one when there
    // is none left: then the failure is EEXIST. `*taken` receives the path
    // the file took (or, on another failure, the one tried).
    static Result writeFirstFree(const QByteArray& folder, const QByteArray& bytes,
                                 const std::function<QByteArray()>& next, QByteArray* taken);
};
