#include "platform/linux/GioLaunchServices.h"

#include <gio/gio.h>
#include <stdlib.h>

#include <algorithm>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/linux/PlistBundles.h"

namespace platform {

namespace {

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The words of a command line, unquoted as a shell does; nullopt when it does
// not parse.
std::optional<std::vector<std::string>> ShellWords(const char* text) {
    gchar** argv = nullptr;
    if (!g_shell_parse_argv(text, nullptr, &argv, nullptr)) return std::nullopt;
    std::vector<std::string> words;
    for (gchar** word = argv; *word != nullptr; ++word) words.emplace_back(*word);
    g_strfreev(argv);
    return words;
}

// The words after env(1) that start the program itself: env's options (with
// the values of -u, -C and -S; -S's text is split into words as env splits
// it) and its NAME=value assignments are passed over, as often as env is
// named again.
std::vector<std::string> WithoutEnv(std::vector<std::string> words) {
    // A program named env inside a bundle is that bundle's own.
    while (!words.empty() && BaseName(words.front()) == "env" && !EnclosingAppFolder(words.front())) {
        size_t next = 1;
        std::vector<std::string> split;
        while (next < words.size()) {
            const std::string& word = words[next];
            if (word == "--") {
                ++next;
                break;
            }
            if (word == "-u" || word == "-C" || word == "--unset" || word == "--chdir") {
                next += 2;
            } else if (word == "-S" || word == "--split-string") {
                if (next + 1 < words.size()) split = ShellWords(words[next + 1].c_str()).value_or(split);
                next += 2;
                break;
            } else if (word.starts_with("-S") || word.starts_with("--split-string=")) {
                split = ShellWords(word.c_str() + (word[1] == 'S' ? 2 : 15)).value_or(split);
                ++next;
                break;
            } else if (word.starts_with("-") || word.find('=') != std::string::npos) {
                ++next;
            } else {
                break;
            }
        }
        words.erase(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(std::min(next, words.size())));
        words.insert(words.begin(), split.begin(), split.end());
    }
    return words;
}

// The program's path with every symbolic link resolved; nullopt when it does
// not resolve (missing, a loop, out of reach).
std::optional<std::string> ResolvedPath(const std::string& path) {
    const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    if (!resolved) return std::nullopt;
    return std::string(resolved.get());
}

}  // namespace

std::string ApplicationPathForCommandLine(const char* commandLine) {
    if (commandLine == nullptr) return {};
    // g_app_info_get_executable splits at the first space, which breaks a
    // program path with spaces; the shell parser honours the quotes of Exec.
    const std::optional<std::vector<std::string>> words = ShellWords(commandLine);
    if (!words) return {};
    const std::vector<std::string> command = WithoutEnv(*words);
    if (command.empty() || command.front().empty()) return {};
    std::string program = command.front();

    if (program.find('/') == std::string::npos) {
        if (gchar* found = g_find_program_in_path(program.c_str())) {
            program = found;
            g_free(found);
        }
    }
    if (std::optional<std::string> bundle = EnclosingAppFolder(program)) return *bundle;
    // A program outside any bundle may be a link into one (/usr/local/bin/x ->
    // /Applications/X.app/Contents/MacOS/x): the bundle of its target counts.
    if (const std::optional<std::string> resolved = program.starts_with('/') ? ResolvedPath(program) : std::nullopt) {
        if (std::optional<std::string> bundle = EnclosingAppFolder(*resolved)) return *bundle;
    }
    return program;
}

std::optional<std::vector<std::string>> GioLaunchServices::applicationsForFile(const std::string& path) {
    // Only the name is looked at: the probe file is never opened.
    const std::string name = BaseName(path);
    gchar* contentType = g_content_type_guess(name.c_str(), nullptr, 0, nullptr);
    if (contentType == nullptr) return std::nullopt;

    std::vector<GAppInfo*> apps;
    if (GAppInfo* preferred = g_app_info_get_default_for_type(contentType, FALSE)) apps.push_back(preferred);
    GList* all = g_app_info_get_all_for_type(contentType);
    g_free(contentType);
    for (GList* item = all; item != nullptr; item = item->next) {
        auto* app = static_cast<GAppInfo*>(item->data);
        const bool known =
            std::any_of(apps.begin(), apps.end(), [app](GAppInfo* seen) { return g_app_info_equal(seen, app); });
        if (known) {
            g_object_unref(app);
        } else {
            apps.push_back(app);
        }
    }
    g_list_free(all);

    if (apps.empty()) return std::nullopt;
    std::vector<std::string> paths;
    paths.reserve(apps.size());
    for (GAppInfo* app : apps) {
        std::string application = ApplicationPathForCommandLine(g_app_info_get_commandline(app));
        g_object_unref(app);
        // Entries whose programs lie in one bundle (its main program and a
        // helper inside it) are one application: listed once, where it first
        // appears.
        if (!application.empty() && std::find(paths.begin(), paths.end(), application) != paths.end()) continue;
        paths.push_back(std::move(application));
    }
    return paths;
}

}  // namespace platform
