#pragma once

#include <mutex>

// One forward pass of a network at a time in the process, whichever engine
// runs it: each pass spreads over every core (oneDNN's OpenMP threads,
// OpenCV's TBB ones), and two at once would only fight over them.
namespace ForwardLock {

std::mutex& mutex();

} // namespace ForwardLock
