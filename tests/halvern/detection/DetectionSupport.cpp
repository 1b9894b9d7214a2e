#include "DetectionSupport.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace fs = std::filesystem;

namespace detection {

namespace {

std::vector<char*> Pointers(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (const std::string& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void Write(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << content;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, const Options& options) {
    int input[2];
    if (::pipe2(input, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<char*> args = Pointers(argv);
    std::vector<char*> env = Pointers(options.environment);
    // Everything the child needs is made before the fork: after it, only calls
    // that are safe in a copy of a threaded process.
    gid_t group = 0;
    if (options.user) {
        const struct passwd* entry = ::getpwuid(*options.user);
        group = entry != nullptr ? entry->pw_gid : *options.user;
    }
    const std::string execFailure = "execve " + argv[0] + " failed\n";
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::dup2(input[0], STDIN_FILENO);
        const int out = ::open(options.outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out >= 0) {
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (options.user) {
            if (::setgroups(0, nullptr) != 0 || ::setresgid(group, group, group) != 0 ||
                ::setresuid(*options.user, *options.user, *options.user) != 0) {
                ::_exit(126);
            }
        }
        ::execve(args[0], args.data(), env.data());
        (void)!::write(STDERR_FILENO, execFailure.data(), execFailure.size());
        ::_exit(127);
    }
    ::close(input[0]);
    input_ = input[1];
}

Child::~Child() {
    closeInput();
    if (!status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

void Child::closeInput() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
}

void Child::signal(int number) { ::kill(pid_, number); }

std::optional<int> Child::wait(std::chrono::milliseconds timeout) {
    if (status_) return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::optional<std::string> PrivateBus::StockSystemConfiguration() {
    for (const char* path : {"/usr/share/dbus-1/system.conf", "/etc/dbus-1/system.conf"}) {
        if (fs::exists(path)) return ReadAll(path);
    }
    return std::nullopt;
}

PrivateBus::PrivateBus(Kind kind, const std::string& folder) {
    const std::string socket = folder + (kind == Kind::System ? "/system_bus_socket" : "/session_bus_socket");
    const std::string listen = "<listen>unix:path=" + socket + "</listen>";
    std::string config;
    if (kind == Kind::Session) {
        config = "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                 " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                 "<busconfig><type>session</type>" + listen +
                 "<auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                 "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
    } else {
        const std::optional<std::string> stock = StockSystemConfiguration();
        if (!stock) return;
        // The stock policy as it stands; only where it listens and how it runs
        // (in the foreground, as root, without pid file or syslog) differ.
        config = Replace(*stock, "<listen>unix:path=/run/dbus/system_bus_socket</listen>", listen);
        config = Replace(config, "<listen>unix:path=/var/run/dbus/system_bus_socket</listen>", listen);
        config = Replace(config, "<user>messagebus</user>", "");
        config = Replace(config, "<fork/>", "");
        config = Replace(config, "<pidfile>/run/dbus/pid</pidfile>", "");
        config = Replace(config, "<pidfile>/var/run/dbus/pid</pidfile>", "");
        config = Replace(config, "<syslog/>", "");
    }
    const std::string configPath = folder + (kind == Kind::System ? "/system.conf" : "/session.conf");
    Write(configPath, config);

    int address[2];
    if (::pipe(address) != 0) return;
    const std::string printAddress = "--print-address=" + std::to_string(address[1]);
    const std::string configFile = "--config-file=" + configPath;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(address[0]);
        // Sockets that every user may connect to (the tests run senders as
        // other users).
        ::umask(0);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::execlp("dbus-daemon", "dbus-daemon", "--nofork", "--nopidfile", configFile.c_str(), printAddress.c_str(),
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(address[1]);
    char buffer[512];
    std::string text;
    for (ssize_t n; (n = ::read(address[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(n));
        if (text.find('\n') != std::string::npos) break;
    }
    ::close(address[0]);
    if (const size_t end = text.find('\n'); end != std::string::npos) address_ = text.substr(0, end);
}

PrivateBus::~PrivateBus() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

SilentBus::SilentBus(const std::string& socketPath) : path_(socketPath) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 16) != 0) {
        throw std::runtime_error("cannot listen on " + path_);
    }
}

SilentBus::~SilentBus() {
    ::close(fd_);
    ::unlink(path_.c_str());
}

std::string PlistXML(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n<dict>\n";
    for (const auto& [key, value] : entries) {
        xml += "\t<key>" + key + "</key>\n\t<string>" + value + "</string>\n";
    }
    return xml + "</dict>\n</plist>\n";
}

void CopyFile(const std::string& from, const std::string& to) {
    fs::create_directories(fs::path(to).parent_path());
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    fs::permissions(to, fs::status(from).permissions());
}

std::string MakeBundle(const std::string& folder, const std::string& name, const std::string& program,
                       const std::vector<std::pair<std::string, std::string>>& info, const std::string& executable) {
    const std::string bundle = folder + "/" + name + ".app";
    fs::create_directories(bundle + "/Contents/MacOS");
    CopyFile(program, bundle + "/Contents/MacOS/" + executable);
    if (!info.empty()) Write(bundle + "/Contents/Info.plist", PlistXML(info));
    return bundle;
}

std::vector<std::string> Environment(const std::vector<std::string>& changes) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const size_t equals = text.find('=');
        if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const std::string& change : changes) {
        const size_t equals = change.find('=');
        const std::string name = change.substr(0, equals);
        const std::string value = change.substr(equals + 1);
        if (value.empty()) {
            variables.erase(name);
        } else {
            variables[name] = value;
        }
    }
    std::vector<std::string> environment;
    for (const auto& [name, value] : variables) environment.push_back(name + "=" + value);
    return environment;
}

}  // namespace detection
