#pragma once

#include <QString>

// Where Vantel's networks are installed.
namespace ModelFiles {

// The network file `name` (isnet.onnx, nanodet.onnx, ...): in the user's
// data folder (~/.local/share/vantel/models), then the system's
// (/usr/local/share, /usr/share), then beside the running program
// (<prefix>/share/vantel/models for <prefix>/bin, wherever it was
// installed), then models/ in the build tree. Empty when nowhere.
QString locate(const QString& name);

} // namespace ModelFiles
