// Compiled into every program of a ThreadSanitizer build only (the app,
// vantel-cut, the tests): OpenCV's parallel loops run on TBB, whose
// synchronisation ThreadSanitizer cannot see, so they run in the calling
// thread there. Vantel's own threads (the model's jobs and the GUI thread)
// are what such a build checks.
#include <opencv2/core/utility.hpp>

namespace {
const bool sequential = [] {
    cv::setNumThreads(0);
    return true;
}();
} // namespace
