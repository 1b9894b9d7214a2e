#include "TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testsupport {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/halvern-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed: " + pattern);
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);  // removes links as links
}

void MakeFolders(const std::string& path) { fs::create_directories(path); }

void WriteFile(const std::string& path, const std::string& content, unsigned mode) {
    const fs::path p(path);
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error("cannot write " + path);
        out << content;
    }
    ::chmod(path.c_str(), mode);
}

std::optional<std::string> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void CopyTree(const std::string& from, const std::string& to) {
    fs::create_directories(fs::path(to).parent_path());
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

std::optional<std::string> ReadLink(const std::string& path) {
    std::error_code error;
    if (!fs::is_symlink(fs::symlink_status(path, error))) return std::nullopt;
    return fs::read_symlink(path, error).string();
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         int timeoutSeconds) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");

    std::vector<char*> args, env;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : environment) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) ::dup2(null, STDIN_FILENO);
        ::execve(args[0], args.data(), env.data());
        const std::string failure = std::string("execve ") + args[0] + ": " + std::strerror(errno) + "\n";
        (void)!::write(STDERR_FILENO, failure.data(), failure.size());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);

    ProcessResult result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    bool killed = false;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            killed = true;
            break;
        }
        if (::poll(fds, 2, static_cast<int>(left.count())) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (pollfd& fd : fds) {
        if (fd.fd >= 0) ::close(fd.fd);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.status = 128 + WTERMSIG(status);
    }
    if (killed) result.err += "\n(killed after " + std::to_string(timeoutSeconds) + " s)";
    return result;
}

std::vector<std::string> BaseEnvironment() {
    std::vector<std::string> environment{"PATH=/usr/local/bin:/usr/bin:/bin", "LANG=C"};
    // The sanitizers of a sanitizer build need their options in the child too.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name)) environment.push_back(std::string(name) + "=" + value);
    }
    return environment;
}

void SetVariable(std::vector<std::string>& environment, const std::string& name, const std::string& value) {
    const std::string prefix = name + "=";
    for (std::string& entry : environment) {
        if (entry.starts_with(prefix)) {
            entry = prefix + value;
            return;
        }
    }
    environment.push_back(prefix + value);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

SyslogReceiver::SyslogReceiver(std::string socketPath) : path_(std::move(socketPath)) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd_ < 0 || path_.size() >= sizeof address.sun_path) throw std::runtime_error("cannot make socket " + path_);
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    ::unlink(path_.c_str());
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot bind " + path_ + ": " + std::strerror(errno));
    }
}

SyslogReceiver::~SyslogReceiver() {
    if (fd_ >= 0) ::close(fd_);
    ::unlink(path_.c_str());
}

std::vector<std::string> SyslogReceiver::messages() {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) break;
        received_.emplace_back(buffer, static_cast<size_t>(n));
    }
    return received_;
}

std::optional<std::string> SyslogMessage(const std::string& datagram, const std::string& identity) {
    const std::string marker = " " + identity + "[";
    const size_t at = datagram.find(marker);
    if (at == std::string::npos) return std::nullopt;
    const size_t colon = datagram.find("]: ", at);
    if (colon == std::string::npos) return std::nullopt;
    return datagram.substr(colon + 3);
}

std::optional<std::string> Bubblewrap() {
    for (const char* candidate : {"/usr/bin/bwrap", "/bin/bwrap", "/usr/local/bin/bwrap"}) {
        if (::access(candidate, X_OK) == 0) return std::string(candidate);
    }
    return std::nullopt;
}

Sandbox::Sandbox() {
    arguments_ = {Bubblewrap().value_or("/usr/bin/bwrap"),
                  "--die-with-parent",
                  "--unshare-pid",
                  "--ro-bind", "/usr", "/usr",
                  "--ro-bind", "/etc", "/etc",
                  "--symlink", "usr/bin", "/bin",
                  "--symlink", "usr/sbin", "/sbin",
                  "--symlink", "usr/lib", "/lib",
                  "--proc", "/proc",
                  "--dev", "/dev"};
    if (fs::exists("/usr/lib64")) {
        arguments_.insert(arguments_.end(), {"--symlink", "usr/lib64", "/lib64"});
    }
}

Sandbox& Sandbox::readOnlyBind(const std::string& from, const std::string& to) {
    arguments_.insert(arguments_.end(), {"--ro-bind", from, to});
    return *this;
}

Sandbox& Sandbox::bind(const std::string& from, const std::string& to) {
    arguments_.insert(arguments_.end(), {"--bind", from, to});
    return *this;
}

Sandbox& Sandbox::folder(const std::string& path) {
    arguments_.insert(arguments_.end(), {"--dir", path});
    return *this;
}

std::vector<std::string> Sandbox::command(const std::vector<std::string>& argv) const {
    std::vector<std::string> command = arguments_;
    command.push_back("--");
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

std::map<std::string, std::string> Snapshot(const std::string& root) {
    std::map<std::string, std::string> entries;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::none, error);
         it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (error) break;
        const std::string path = it->path().string();
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) continue;
        std::ostringstream state;
        // A folder's own times change with every entry made or removed in it;
        // what counts is its mode and, through their own entries, its contents.
        state << std::oct << st.st_mode << std::dec;
        if (!S_ISDIR(st.st_mode)) state << " " << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec;
        if (S_ISLNK(st.st_mode)) {
            state << " -> " << fs::read_symlink(path, error).string();
        } else if (S_ISREG(st.st_mode)) {
            state << " " << st.st_size << " " << ReadFile(path).value_or("(unreadable)");
        }
        entries[path] = state.str();
    }
    return entries;
}

std::vector<std::string> Differences(const std::map<std::string, std::string>& before,
                                     const std::map<std::string, std::string>& after) {
    std::vector<std::string> differences;
    for (const auto& [path, state] : before) {
        auto it = after.find(path);
        if (it == after.end()) {
            differences.push_back("-" + path);
        } else if (it->second != state) {
            differences.push_back("~" + path);
        }
    }
    for (const auto& [path, state] : after) {
        if (before.count(path) == 0) differences.push_back("+" + path);
    }
    return differences;
}

}  // namespace testsupport
