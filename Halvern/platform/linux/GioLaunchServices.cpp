#include "platform/linux/GioLaunchServices.h"

#include <gio/gio.h>

#include <algorithm>

#include "platform/linux/PlistBundles.h"

namespace platform {

namespace {

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string ApplicationPathForCommandLine(const char* commandLine) {
    if (commandLine == nullptr) return {};
    gchar** argv = nullptr;
    // g_app_info_get_executable splits at the first space, which breaks a
    // program path with spaces; the shell parser honours the quotes of Exec.
    if (!g_shell_parse_argv(commandLine, nullptr, &argv, nullptr)) return {};
    std::string program = argv[0] != nullptr ? argv[0] : "";
    g_strfreev(argv);
    if (program.empty()) return {};

    if (program.find('/') == std::string::npos) {
        if (gchar* found = g_find_program_in_path(program.c_str())) {
            program = found;
            g_free(found);
        }
    }
    if (std::optional<std::string> bundle = EnclosingAppFolder(program)) return *bundle;
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
        paths.push_back(ApplicationPathForCommandLine(g_app_info_get_commandline(app)));
        g_object_unref(app);
    }
    return paths;
}

}  // namespace platform
