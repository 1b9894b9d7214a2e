#include "GraphicalSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace testsupport {

namespace {

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string TemporaryFile(const char* stem) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + stem + "-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed: " + pattern);
    ::close(fd);
    return pattern;
}

int DecodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

std::optional<std::string> FindProgram(const std::string& program) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
    std::stringstream folders(path);
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (folder.empty()) continue;
        const std::string candidate = folder + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment)
    : outPath_(TemporaryFile("halvern-out")), errPath_(TemporaryFile("halvern-err")) {
    std::vector<char*> args, env;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : environment) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::setpgid(0, 0);
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(outPath_.c_str(), O_WRONLY | O_TRUNC);
        const int err = ::open(errPath_.c_str(), O_WRONLY | O_TRUNC);
        if (in >= 0) ::dup2(in, STDIN_FILENO);
        if (out >= 0) ::dup2(out, STDOUT_FILENO);
        if (err >= 0) ::dup2(err, STDERR_FILENO);
        ::execve(args[0], args.data(), env.data());
        const std::string failure = std::string("execve ") + args[0] + ": " + std::strerror(errno) + "\n";
        (void)!::write(STDERR_FILENO, failure.data(), failure.size());
        ::_exit(127);
    }
    ::setpgid(pid_, pid_);
}

BackgroundProcess::~BackgroundProcess() {
    if (running()) {
        signal(SIGKILL);
        wait(std::chrono::seconds(10));
    }
    ::unlink(outPath_.c_str());
    ::unlink(errPath_.c_str());
}

std::optional<int> BackgroundProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!status_) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = DecodeStatus(status);
            break;
        }
        if (done < 0 && errno != EINTR) break;
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

bool BackgroundProcess::running() { return !wait(std::chrono::milliseconds(0)).has_value(); }

void BackgroundProcess::signal(int number) {
    if (pid_ > 0 && !status_) ::kill(-pid_, number);
}

std::string BackgroundProcess::out() const { return ReadWhole(outPath_); }
std::string BackgroundProcess::err() const { return ReadWhole(errPath_); }

Xvfb::Xvfb() {
    const std::optional<std::string> program = FindProgram("Xvfb");
    if (!program) {
        failure_ = "Xvfb is not installed";
        return;
    }
    int ready[2];
    if (::pipe(ready) != 0) {
        failure_ = "pipe failed";
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(ready[0]);
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        const std::string fd = std::to_string(ready[1]);
        ::execl(program->c_str(), program->c_str(), "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24",
                "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(ready[1]);
    // Xvfb writes the display number once it accepts connections.
    std::string number;
    char c;
    while (::read(ready[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(ready[0]);
    if (number.empty()) {
        failure_ = "Xvfb did not start";
        return;
    }
    display_ = ":" + number;
}

Xvfb::~Xvfb() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status;
        ::waitpid(pid_, &status, 0);
    }
}

MuteDisplay::MuteDisplay() {
    fs::create_directories("/tmp/.X11-unix");
    for (int number = 4000; number < 4100 && fd_ < 0; ++number) {
        const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
        if (fs::exists(fs::symlink_status(path))) continue;
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 8) == 0) {
            fd_ = fd;
            path_ = path;
            display_ = ":" + std::to_string(number);
        } else if (fd >= 0) {
            ::close(fd);
        }
    }
    if (fd_ < 0) failure_ = "no free display socket in /tmp/.X11-unix";
}

MuteDisplay::~MuteDisplay() {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
}

Weston::Weston(const std::string& runtimeFolder) {
    const std::optional<std::string> program = FindProgram("weston");
    if (!program) {
        failure_ = "weston is not installed";
        return;
    }
    fs::create_directories(runtimeFolder);
    ::chmod(runtimeFolder.c_str(), 0700);
    process_ = std::make_unique<BackgroundProcess>(
        std::vector<std::string>{*program, "--backend=headless-backend.so", "--shell=kiosk-shell.so",
                                 "--idle-time=0", std::string("--socket=") + kSocket},
        std::vector<std::string>{"PATH=/usr/bin:/bin", "XDG_RUNTIME_DIR=" + runtimeFolder, "HOME=" + runtimeFolder});
    // Ready once its socket is there.
    const std::string socket = runtimeFolder + "/" + kSocket;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!fs::exists(socket) && process_->running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!fs::exists(socket)) {
        failure_ = "weston did not start: " + process_->err();
        process_.reset();
    }
}

void Weston::stop() {
    if (!process_) return;
    process_->signal(SIGTERM);
    if (!process_->wait(std::chrono::seconds(5))) process_->signal(SIGKILL);
    process_.reset();
}

std::optional<std::string> Xdotool(const std::string& display, const std::vector<std::string>& arguments) {
    const std::optional<std::string> program = FindProgram("xdotool");
    if (!program) return std::nullopt;
    std::vector<std::string> argv{*program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    BackgroundProcess xdotool(argv, {"DISPLAY=" + display, "PATH=/usr/bin:/bin"});
    const std::optional<int> status = xdotool.wait(std::chrono::seconds(20));
    if (status != 0) return std::nullopt;
    return xdotool.out();
}

std::vector<std::string> WaitForWindows(const std::string& display, const std::string& name,
                                        std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::vector<std::string> windows;
        if (auto found = Xdotool(display, {"search", "--onlyvisible", "--name", "^" + name + "$"})) {
            std::stringstream lines(*found);
            for (std::string line; std::getline(lines, line);) {
                if (!line.empty()) windows.push_back(line);
            }
        }
        if (!windows.empty() || std::chrono::steady_clock::now() >= deadline) return windows;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool SendKeys(const std::string& display, const std::string& window, const std::vector<std::string>& keys) {
    std::vector<std::string> arguments{"windowfocus", "--sync", window, "key", "--delay", "60"};
    arguments.insert(arguments.end(), keys.begin(), keys.end());
    return Xdotool(display, arguments).has_value();
}

bool TypeText(const std::string& display, const std::string& text) {
    return Xdotool(display, {"type", "--delay", "20", text}).has_value();
}

std::vector<std::string> MappedFiles(pid_t pid) {
    std::vector<std::string> files;
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    for (std::string line; std::getline(maps, line);) {
        const size_t slash = line.find('/');
        if (slash != std::string::npos) files.push_back(line.substr(slash));
    }
    return files;
}

std::vector<pid_t> ProcessesRunning(const std::string& exe) {
    std::vector<pid_t> found;
    std::error_code error;
    const fs::path wanted = fs::weakly_canonical(exe, error);
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code linkError;
        const fs::path target = fs::read_symlink(entry.path() / "exe", linkError);
        if (!linkError && target == wanted) found.push_back(static_cast<pid_t>(std::stoi(name)));
    }
    return found;
}

}  // namespace testsupport
