#include "platform/gtk/GtkStartup.h"

#include <dlfcn.h>
#include <gio/gio.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace platform {

namespace {

// openlog keeps the pointer; the module is never unloaded.
constexpr const char* kIdentity = "Halvern";
constexpr const char* kPanelSchema = "org.gtk.Settings.FileChooser";

// text on one line: the line ends and tabs that GLib's messages carry become
// single spaces.
std::string OneLine(const std::string& text) {
    std::string line;
    bool space = false;
    for (char c : text) {
        if (c == '\n' || c == '\t' || c == '\r' || c == ' ') {
            space = true;
            continue;
        }
        if (space && !line.empty()) line += ' ';
        space = false;
        line += c;
    }
    return line;
}

// "Gtk-WARNING: text", as GLib would print it.
std::string LogLine(const char* domain, GLogLevelFlags level, const std::string& message) {
    const char* name = (level & G_LOG_LEVEL_ERROR)      ? "ERROR"
                       : (level & G_LOG_LEVEL_CRITICAL) ? "CRITICAL"
                       : (level & G_LOG_LEVEL_WARNING)  ? "WARNING"
                       : (level & G_LOG_LEVEL_MESSAGE)  ? "Message"
                       : (level & G_LOG_LEVEL_INFO)     ? "INFO"
                                                        : "DEBUG";
    return std::string(domain != nullptr && *domain != '\0' ? domain : "GLib") + "-" + name + ": " + OneLine(message);
}

int Priority(GLogLevelFlags level) {
    if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL)) return LOG_ERR;
    if (level & G_LOG_LEVEL_WARNING) return LOG_WARNING;
    if (level & G_LOG_LEVEL_MESSAGE) return LOG_NOTICE;
    if (level & G_LOG_LEVEL_INFO) return LOG_INFO;
    return LOG_DEBUG;
}

GLogWriterOutput WriteToSystemLog(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer) {
    const char* domain = nullptr;
    std::string message;
    for (gsize i = 0; i < count; ++i) {
        const std::string key = fields[i].key;
        const char* value = static_cast<const char*>(fields[i].value);
        if (value == nullptr) continue;
        if (key == "GLIB_DOMAIN") domain = value;
        if (key == "MESSAGE") {
            message = fields[i].length < 0 ? std::string(value) : std::string(value, static_cast<size_t>(fields[i].length));
        }
    }
    const bool fatal = (level & (G_LOG_FLAG_FATAL | G_LOG_LEVEL_ERROR)) != 0;
    // Debug and informational messages only when G_MESSAGES_DEBUG asks for them.
    if (!fatal && g_log_writer_default_would_drop(level, domain)) return G_LOG_WRITER_HANDLED;
    const std::string line = LogLine(domain, level, message);
    syslog(Priority(level), "%s", line.c_str());
    // GLib would raise SIGTRAP next; the package scripts know only 0 and 255.
    if (fatal) EndGraphicalRun("The graphical mode cannot go on: " + line);
    return G_LOG_WRITER_HANDLED;
}

void PrintToSystemLog(const gchar* text) {
    if (text != nullptr) syslog(LOG_WARNING, "%s", OneLine(text).c_str());
}

// Whether one of the folders that GSettings reads holds schema.
bool SettingsHaveSchema(const char* schema) {
    std::vector<std::string> folders;
    if (const char* given = g_getenv("GSETTINGS_SCHEMA_DIR")) {
        gchar** parts = g_strsplit(given, G_SEARCHPATH_SEPARATOR_S, 0);
        for (gchar** part = parts; *part != nullptr; ++part) {
            if (**part != '\0') folders.emplace_back(*part);
        }
        g_strfreev(parts);
    }
    folders.push_back(std::string(g_get_user_data_dir()) + "/glib-2.0/schemas");
    for (const gchar* const* data = g_get_system_data_dirs(); *data != nullptr; ++data) {
        folders.push_back(std::string(*data) + "/glib-2.0/schemas");
    }
    for (const std::string& folder : folders) {
        GSettingsSchemaSource* source = g_settings_schema_source_new_from_directory(folder.c_str(), nullptr, FALSE, nullptr);
        if (source == nullptr) continue;
        GSettingsSchema* found = g_settings_schema_source_lookup(source, schema, FALSE);
        g_settings_schema_source_unref(source);
        if (found != nullptr) {
            g_settings_schema_unref(found);
            return true;
        }
    }
    return false;
}

}  // namespace

void EndGraphicalRun(const std::string& line) {
    std::fflush(stdout);
    const std::string text = "Halvern:ERROR: " + line + "\n";
    ssize_t ignored = ::write(STDOUT_FILENO, text.data(), text.size());
    (void)ignored;
    ::_exit(255);
}

void RouteGLibMessagesToSystemLog() {
    openlog(kIdentity, LOG_PID, LOG_USER);
    g_log_set_writer_func(WriteToSystemLog, nullptr, nullptr);
    g_set_printerr_handler(PrintToSystemLog);
    // Standard output carries the lines for the package scripts only.
    g_set_print_handler(PrintToSystemLog);
}

void PrepareSettings(bool root, const std::string& bundleSchemas) {
    g_setenv("GSETTINGS_BACKEND", "memory", TRUE);
    if (root) g_unsetenv("GSETTINGS_SCHEMA_DIR");
    if (bundleSchemas.empty() || SettingsHaveSchema(kPanelSchema)) return;
    std::string folders = bundleSchemas;
    if (const char* given = g_getenv("GSETTINGS_SCHEMA_DIR"); given != nullptr && *given != '\0') {
        folders += G_SEARCHPATH_SEPARATOR_S + std::string(given);
    }
    g_setenv("GSETTINGS_SCHEMA_DIR", folders.c_str(), TRUE);
}

std::string BundleSchemaFolder() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&BundleSchemaFolder), &info) == 0 || info.dli_fname == nullptr) return {};
    const std::filesystem::path module(info.dli_fname);
    if (!module.is_absolute()) return {};
    // Contents/PlugIns/HalvernGtk.so -> Contents/Resources/schemas
    return (module.parent_path().parent_path() / "Resources/schemas").string();
}

}  // namespace platform
