#pragma once

#include <optional>

// Whether a mouse button is held anywhere on the desktop, in any
// application's window (on X11, from the server); none where the platform
// does not say. A drag that starts in another application holds one.
class PointerButtons final
{
public:
    PointerButtons() = delete;

    static std::optional<bool> held();
};
