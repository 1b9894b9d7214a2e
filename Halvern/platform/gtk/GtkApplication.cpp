#include "platform/gtk/GtkApplication.h"

#include "platform/gtk/GtkStartup.h"

#include <gtk/gtk.h>

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include <gdk/gdkwayland.h>
// Last: Xlib defines macros (Status, ...) that clash with the platform's names.
#include <gdk/gdkx.h>
#undef Status

namespace platform {

namespace {

// Dialogs of this program have no main window to belong to, and GTK says so
// each time one opens; that alone is kept out of the system log.
void FilterGtkMessages(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer data) {
    if ((level & G_LOG_LEVEL_MESSAGE) && message != nullptr &&
        std::strstr(message, "mapped without a transient parent") != nullptr) {
        return;
    }
    g_log_default_handler(domain, level, message, data);
}

// "DISPLAY=:0", "WAYLAND_DISPLAY=wayland-0", or both: what names the display.
std::string DisplayNames() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    std::string names;
    if (x11 != nullptr && *x11 != '\0') names = std::string("DISPLAY=") + x11;
    if (wayland != nullptr && *wayland != '\0') {
        if (!names.empty()) names += ", ";
        names += std::string("WAYLAND_DISPLAY=") + wayland;
    }
    return names;
}

std::string NoDisplayReason() {
    const std::string names = DisplayNames();
    if (names.empty()) {
        return "Cannot start the graphical mode: no display is set (DISPLAY and WAYLAND_DISPLAY are empty).";
    }
    return "Cannot start the graphical mode: cannot open the display (" + names + ").";
}

// A display server that accepts the connection and never answers would hold
// gtk_init_check for ever (XOpenDisplay waits for the server's greeting, the
// Wayland backend for its first round trip). A watcher thread ends the
// process if the display has not answered in time.
constexpr int kDisplayAnswerSeconds = 3;

class DisplayWatch {
public:
    explicit DisplayWatch(std::string names)
        : thread_([this, names = std::move(names)] {
              std::unique_lock lock(mutex_);
              if (!answered_.wait_for(lock, std::chrono::seconds(kDisplayAnswerSeconds), [this] { return done_; })) {
                  EndGraphicalRun("Cannot start the graphical mode: the display did not answer within " +
                              std::to_string(kDisplayAnswerSeconds) + " seconds (" + names + ").");
              }
          }) {}
    ~DisplayWatch() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        answered_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable answered_;
    bool done_ = false;
    std::thread thread_;
};

std::string LostDisplayLine(GdkDisplay* display) {
    const bool x11 = GDK_IS_X11_DISPLAY(display);
    const char* name = std::getenv(x11 ? "DISPLAY" : "WAYLAND_DISPLAY");
    return std::string("Lost the connection to the display (") + (x11 ? "DISPLAY=" : "WAYLAND_DISPLAY=") +
           (name != nullptr ? name : "") + ").";
}

std::string gLostDisplayLine;

// Xlib calls this when the connection to the X server breaks; it must not
// return. GDK's own handler ends the process with status 1, which the package
// scripts do not know: this one says what happened and ends with -1 (255),
// the program's failure status, as every other way out of a failed run does.
int LostDisplay(Display*) { EndGraphicalRun(gLostDisplayLine); }

// Every GDK backend ends the process with status 1 when its connection
// breaks (the Wayland one with _exit, which nothing can intercept). This
// source watches the connection itself, at a priority above GDK's events, so
// that a hang-up is seen and answered here before GDK reads from the
// connection: in the same main-loop pass, sources of lower priority are
// neither prepared nor checked once one of higher priority is ready.
struct ConnectionWatch {
    GSource source;
    int fd;
};

bool HungUp(int fd) {
    pollfd entry{fd, POLLRDHUP, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & (POLLHUP | POLLERR | POLLRDHUP | POLLNVAL)) != 0;
}

gboolean WatchPrepare(GSource* source, gint* timeout) {
    *timeout = -1;
    return HungUp(reinterpret_cast<ConnectionWatch*>(source)->fd);
}

gboolean WatchCheck(GSource* source) { return HungUp(reinterpret_cast<ConnectionWatch*>(source)->fd); }

gboolean WatchDispatch(GSource*, GSourceFunc, gpointer) { EndGraphicalRun(gLostDisplayLine); }

GSourceFuncs gWatchFunctions = {WatchPrepare, WatchCheck, WatchDispatch, nullptr, nullptr, nullptr};

// The descriptor of the display connection, for the backends that have one
// here; -1 for any other.
int ConnectionDescriptor(GdkDisplay* display) {
    if (GDK_IS_X11_DISPLAY(display)) return ConnectionNumber(gdk_x11_display_get_xdisplay(display));
    if (GDK_IS_WAYLAND_DISPLAY(display)) return wl_display_get_fd(gdk_wayland_display_get_wl_display(display));
    return -1;
}

void WatchTheDisplay(GdkDisplay* display) {
    gLostDisplayLine = LostDisplayLine(display);
    if (GDK_IS_X11_DISPLAY(display)) XSetIOErrorHandler(LostDisplay);
    const int fd = ConnectionDescriptor(display);
    if (fd < 0) return;
    GSource* source = g_source_new(&gWatchFunctions, sizeof(ConnectionWatch));
    reinterpret_cast<ConnectionWatch*>(source)->fd = fd;
    g_source_add_unix_fd(source, fd, static_cast<GIOCondition>(G_IO_HUP | G_IO_ERR));
    g_source_set_priority(source, G_PRIORITY_HIGH);
    g_source_attach(source, nullptr);
    g_source_unref(source);
}

gboolean FinishLaunching(gpointer data) {
    static_cast<ApplicationDelegate*>(data)->applicationDidFinishLaunching();
    // The delegate ends the process; if it ever comes back, so does main.
    gtk_main_quit();
    return G_SOURCE_REMOVE;
}

}  // namespace

Status GtkApplication::main(int argc, char* const* argv, ApplicationDelegate& delegate) {
    // GTK reads and removes its own options (--display, --sync, ...) from the
    // vector it gets. It gets only the program's name: the arguments are the
    // package scripts' and stay exactly as main received them.
    RouteGLibMessagesToSystemLog();
    PrepareSettings(::geteuid() == 0, BundleSchemaFolder());

    char* name = argc > 0 && argv != nullptr && argv[0] != nullptr ? argv[0] : const_cast<char*>("Halvern");
    char* gtkArguments[] = {name, nullptr};
    int gtkCount = 1;
    char** gtkVector = gtkArguments;
    bool opened;
    {
        DisplayWatch watch(DisplayNames());
        opened = gtk_init_check(&gtkCount, &gtkVector);
    }
    if (!opened) return Status::Failure(NoDisplayReason());

    WatchTheDisplay(gdk_display_get_default());
    g_log_set_handler("Gtk", G_LOG_LEVEL_MESSAGE, FilterGtkMessages, nullptr);
    g_idle_add(FinishLaunching, &delegate);
    gtk_main();
    return Status::Ok();
}

}  // namespace platform
