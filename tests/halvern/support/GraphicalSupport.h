#pragma once
// What the tests of the graphical mode and of the wait share: programs started
// in the background, a private X server (Xvfb), and windows found and driven
// with xdotool.

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// The full path of program found on PATH (or the usual system folders), or
// nullopt when it is not installed.
std::optional<std::string> FindProgram(const std::string& program);

// A program running in the background, in a process group of its own, with
// standard input from /dev/null and its output kept in files. Killed (the whole
// group) when the object goes, if it still runs.
class BackgroundProcess {
public:
    BackgroundProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    pid_t pid() const { return pid_; }
    // The exit status (128 + signal number for a signal), waiting at most
    // timeout; nullopt when it still runs then.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    bool running();
    // Sends signal to the whole process group.
    void signal(int number);
    std::string out() const;
    std::string err() const;

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string outPath_;
    std::string errPath_;
};

// A private X server, 1280x1024 in 24-bit colour, on the first free display.
class Xvfb {
public:
    Xvfb();
    ~Xvfb();
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    bool ok() const { return !display_.empty(); }
    const std::string& failure() const { return failure_; }
    // ":N"
    const std::string& display() const { return display_; }
    // The folder holding its socket, to bind into a sandbox.
    static std::string socketFolder() { return "/tmp/.X11-unix"; }

private:
    pid_t pid_ = -1;
    std::string display_;
    std::string failure_;
};

// A display that accepts connections and never answers: a listening socket at
// /tmp/.X11-unix/X<N> (the first free N from 4000) that is never accepted, so a
// client's connect succeeds and its wait for the server's greeting never ends.
class MuteDisplay {
public:
    MuteDisplay();
    ~MuteDisplay();
    MuteDisplay(const MuteDisplay&) = delete;
    MuteDisplay& operator=(const MuteDisplay&) = delete;

    bool ok() const { return fd_ >= 0; }
    const std::string& failure() const { return failure_; }
    // ":N"
    const std::string& display() const { return display_; }

private:
    int fd_ = -1;
    std::string path_;
    std::string display_;
    std::string failure_;
};

// A Wayland compositor (weston, headless) whose socket "halvern-wayland" lies
// in runtimeFolder, made 0700 for it as XDG_RUNTIME_DIR. Stopped when the
// object goes, or by stop().
class Weston {
public:
    explicit Weston(const std::string& runtimeFolder);
    ~Weston() { stop(); }
    Weston(const Weston&) = delete;
    Weston& operator=(const Weston&) = delete;

    bool ok() const { return process_ != nullptr; }
    const std::string& failure() const { return failure_; }
    static constexpr const char* kSocket = "halvern-wayland";
    void stop();

private:
    std::unique_ptr<BackgroundProcess> process_;
    std::string failure_;
};

// xdotool on display; nullopt when xdotool is not installed or failed.
std::optional<std::string> Xdotool(const std::string& display, const std::vector<std::string>& arguments);

// The visible windows whose title matches name exactly, polled until at least
// one shows or timeout passes.
std::vector<std::string> WaitForWindows(const std::string& display, const std::string& name,
                                        std::chrono::milliseconds timeout);

// Gives the window the keyboard focus and types keys (xdotool key names).
bool SendKeys(const std::string& display, const std::string& window, const std::vector<std::string>& keys);

// Types text into the focused window of display.
bool TypeText(const std::string& display, const std::string& text);

// The lines of /proc/PID/maps that name a mapped file.
std::vector<std::string> MappedFiles(pid_t pid);

// The processes (as seen from here) whose executable is exe.
std::vector<pid_t> ProcessesRunning(const std::string& exe);

}  // namespace testsupport
