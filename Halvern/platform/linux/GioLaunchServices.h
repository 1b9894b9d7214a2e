#pragma once
// The applications that the freedesktop MIME associations offer for a file,
// through GIO: the content type is guessed from the file's name, the default
// application comes first, then the others that g_app_info_get_all_for_type
// lists. An application is reported as the *.app folder that encloses the
// program of its Exec line, else as that program's path; each path is listed
// once, where it first appears (two entries that start programs of one bundle
// are one application).

#include "platform/LaunchServices.h"

namespace platform {

class GioLaunchServices : public LaunchServices {
public:
    std::optional<std::vector<std::string>> applicationsForFile(const std::string& path) override;
};

// The path reported for an application whose desktop entry has this Exec line:
// its program (the first word, unquoted as a shell does, looked up in PATH when
// it has no slash; after env(1), its options and NAME=value words when the
// line starts with env), or the *.app folder enclosing it as written, else the
// *.app folder enclosing it once its symbolic links are resolved. Empty when
// the line has no program. Launchers that run the program from elsewhere
// (flatpak, snap) are not looked through.
std::string ApplicationPathForCommandLine(const char* commandLine);

}  // namespace platform
