#include "ForwardLock.h"

std::mutex& ForwardLock::mutex()
{
    static std::mutex lock;
    return lock;
}
