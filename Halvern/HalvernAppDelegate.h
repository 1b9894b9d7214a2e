#pragma once
// The application delegate of the graphical mode: once the framework has
// finished launching, it runs the graphical installation and ends the process.

#include "platform/Platform.h"

class HalvernAppDelegate : public platform::ApplicationDelegate {
public:
    explicit HalvernAppDelegate(platform::Platform& platform) : platform_(platform) {}

    // Reads the process's argument vector again (it is not handed over), runs
    // GUIInstallToDestination with position 2 as the pack link path and, when
    // position 4 is "1", the wait for running viewers. Ends the process: 0 on
    // success, -1 (255) when position 1 is not "0" or the installation failed;
    // the wait ends it with its own status.
    void applicationDidFinishLaunching() override;

    // The outlet of the main window; nothing in the program reads or writes it.
    void* window() const { return window_; }
    void setWindow(void* window) { window_ = window; }

private:
    platform::Platform& platform_;
    void* window_ = nullptr;
};
