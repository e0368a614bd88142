#pragma once

#include <QString>
#include <memory>

class QFile;

namespace LocalFile {

// The file at `path` opened for reading, or nothing unless it is a regular
// file. A FIFO, a device or a directory is turned down without waiting:
// opening a FIFO for reading blocks until some writer comes along, and
// nothing is looked up by name before the open that could change after it.
//
// A name that is not valid UTF-8 cannot pass through a QString unchanged
// (the stray bytes become U+FFFD); such a name is found again as the one
// directory entry that reads the same.
std::unique_ptr<QFile> openRegular(const QString& path);

} // namespace LocalFile
