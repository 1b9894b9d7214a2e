#pragma once
// What the detection's Linux tests share: programs running in the background,
// private D-Bus daemons, a bus that never answers, and application bundles made
// from real programs.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace detection {

// A program running in the background with a pipe as its standard input and its
// output going to a file. Killed and reaped when the object goes.
class Child {
public:
    struct Options {
        Options(std::vector<std::string> environment, std::optional<uid_t> user = std::nullopt,
                std::string outputFile = "/dev/null")
            : environment(std::move(environment)), user(user), outputFile(std::move(outputFile)) {}
        std::vector<std::string> environment;  // exactly this environment
        std::optional<uid_t> user;              // run as this user (and its group)
        std::string outputFile;                 // standard output and error
    };
    Child(const std::vector<std::string>& argv, const Options& options);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // Ends its standard input.
    void closeInput();
    void signal(int number);
    // Its exit status (128 + signal for a signal), or nullopt when it has not
    // ended within timeout.
    std::optional<int> wait(std::chrono::milliseconds timeout);

private:
    pid_t pid_ = -1;
    int input_ = -1;
    std::optional<int> status_;
};

// A private dbus-daemon listening on a socket in folder. A session bus allows
// everything; a system bus runs with the system bus configuration that the
// machine's D-Bus package installs, only listening elsewhere.
class PrivateBus {
public:
    enum class Kind { Session, System };
    PrivateBus(Kind kind, const std::string& folder);
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Empty when the daemon did not start.
    const std::string& address() const { return address_; }
    pid_t pid() const { return pid_; }

    // The stock system bus configuration, or nullopt when the machine has none.
    static std::optional<std::string> StockSystemConfiguration();

private:
    pid_t pid_ = -1;
    std::string address_;
};

// A socket that accepts connections into its backlog and never says a word:
// a bus that hangs.
class SilentBus {
public:
    explicit SilentBus(const std::string& socketPath);
    ~SilentBus();
    SilentBus(const SilentBus&) = delete;
    SilentBus& operator=(const SilentBus&) = delete;
    std::string address() const { return "unix:path=" + path_; }

private:
    std::string path_;
    int fd_ = -1;
};

// Makes the bundle folder/name.app with the program copied to
// Contents/MacOS/<executable> and an Info.plist holding the given string
// entries (none at all: no Info.plist). Returns the bundle's path.
std::string MakeBundle(const std::string& folder, const std::string& name, const std::string& program,
                       const std::vector<std::pair<std::string, std::string>>& info,
                       const std::string& executable = "program");

// An XML property list holding the string entries.
std::string PlistXML(const std::vector<std::pair<std::string, std::string>>& entries);

// Copies a file, keeping its mode bits.
void CopyFile(const std::string& from, const std::string& to);

// The environment of this process plus or minus variables: NAME=value sets,
// NAME= with an empty value removes.
std::vector<std::string> Environment(const std::vector<std::string>& changes);

// Waits until condition holds or timeout passes; true when it held.
template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds timeout);

}  // namespace detection

#include <thread>

template <typename Condition>
bool detection::WaitFor(Condition condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
