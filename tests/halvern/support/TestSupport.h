#pragma once
// What the Linux and end-to-end tests share: temporary folders, files, child
// processes with an environment of their own, bubblewrap sandboxes, a private
// /dev/log, and snapshots of a file tree.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// A fresh folder under $TMPDIR (else /tmp), removed with everything in it when
// the object goes; removal never follows a symbolic link.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

// Writes content to path, creating the folders above it.
void WriteFile(const std::string& path, const std::string& content, unsigned mode = 0644);
// The content of the file at path; nullopt when it cannot be read.
std::optional<std::string> ReadFile(const std::string& path);
// Creates the folder and those above it.
void MakeFolders(const std::string& path);
// Copies a folder tree (files, folders, links as links).
void CopyTree(const std::string& from, const std::string& to);
// The content of the symbolic link at path; nullopt when it is no link.
std::optional<std::string> ReadLink(const std::string& path);

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Runs argv[0] (a path) with exactly the given environment and waits for it,
// killing it after timeoutSeconds.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         int timeoutSeconds = 60);

// PATH and a neutral locale: the environment a package script gives a program.
std::vector<std::string> BaseEnvironment();

// Sets NAME=value in an environment list, replacing an earlier value.
void SetVariable(std::vector<std::string>& environment, const std::string& name, const std::string& value);

// The output split into lines; a last piece without a line end is kept.
std::vector<std::string> Lines(const std::string& text);

// A datagram socket standing in for /dev/log: bind it into a sandbox at /dev/log
// and read what syslog(3) sent to it.
class SyslogReceiver {
public:
    explicit SyslogReceiver(std::string socketPath);
    ~SyslogReceiver();
    SyslogReceiver(const SyslogReceiver&) = delete;
    SyslogReceiver& operator=(const SyslogReceiver&) = delete;

    const std::string& path() const { return path_; }
    // Every datagram received so far, without waiting.
    std::vector<std::string> messages();

private:
    std::string path_;
    int fd_ = -1;
    std::vector<std::string> received_;
};

// The message part of a syslog datagram "<PRI>Mmm dd hh:mm:ss IDENT[PID]: MESSAGE":
// nullopt when it does not carry the identity.
std::optional<std::string> SyslogMessage(const std::string& datagram, const std::string& identity);

// The bubblewrap program, or nullopt when it is not installed.
std::optional<std::string> Bubblewrap();

// A bubblewrap command line: read-only /usr and /etc, the usual links to them,
// its own /proc and /dev, and the binds the test adds.
class Sandbox {
public:
    Sandbox();
    Sandbox& readOnlyBind(const std::string& from, const std::string& to);
    Sandbox& bind(const std::string& from, const std::string& to);
    Sandbox& folder(const std::string& path);
    // The command that runs argv inside the sandbox.
    std::vector<std::string> command(const std::vector<std::string>& argv) const;

private:
    std::vector<std::string> arguments_;
};

// Every entry below root with what identifies its state: type, mode, size,
// modification time and content of files, target of links.
std::map<std::string, std::string> Snapshot(const std::string& root);

// The entries in which two snapshots differ, each as "+path", "-path" or "~path".
std::vector<std::string> Differences(const std::map<std::string, std::string>& before,
                                     const std::map<std::string, std::string>& after);

}  // namespace testsupport
