#pragma once
// The graphical application framework.

#include <functional>

#include "platform/Status.h"

namespace platform {

class ApplicationDelegate {
public:
    // Called once, from the framework's main loop, after launching finished.
    virtual void applicationDidFinishLaunching() = 0;

protected:
    ~ApplicationDelegate() = default;
};

class Application {
public:
    virtual ~Application() = default;

    // Starts the framework on the main thread with the argument vector (which
    // stays unchanged) and calls delegate.applicationDidFinishLaunching() once,
    // from the main loop; the delegate is expected to end the process. Returns a
    // failure that says what is missing when the framework cannot start (no
    // display, its libraries cannot be loaded), and Ok if the delegate returned.
    virtual Status main(int argc, char* const* argv, ApplicationDelegate& delegate) = 0;
};

}  // namespace platform
