#pragma once

#include <QByteArray>
#include <memory>

class QFile;

namespace LocalFile {

// The file at `path` (the file system's own bytes) opened for reading, or
// nothing unless it is a regular file. A FIFO, a device or a directory is
// turned down without waiting: opening a FIFO for reading blocks until some
// writer comes along, and nothing is looked up by name before the open that
// could change after it.
std::unique_ptr<QFile> openRegular(const QByteArray& path);

} // namespace LocalFile
