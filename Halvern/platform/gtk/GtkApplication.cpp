#include "platform/gtk/GtkApplication.h"

#include <gtk/gtk.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// Last: Xlib defines macros (Status, ...) that clash with the platform's names.
#include <gdk/gdkx.h>
#undef Status

namespace platform {

namespace {

// Dialogs of this program have no main window to belong to, and GTK says so
// on standard error each time one opens; nothing else is held back.
void FilterGtkMessages(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer data) {
    if ((level & G_LOG_LEVEL_MESSAGE) && message != nullptr &&
        std::strstr(message, "mapped without a transient parent") != nullptr) {
        return;
    }
    g_log_default_handler(domain, level, message, data);
}

std::string NoDisplayReason() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((x11 == nullptr || *x11 == '\0') && (wayland == nullptr || *wayland == '\0')) {
        return "Cannot start the graphical mode: no display is set (DISPLAY and WAYLAND_DISPLAY are empty).";
    }
    std::string which;
    if (x11 != nullptr && *x11 != '\0') which = std::string("DISPLAY=") + x11;
    if (wayland != nullptr && *wayland != '\0') {
        if (!which.empty()) which += ", ";
        which += std::string("WAYLAND_DISPLAY=") + wayland;
    }
    return "Cannot start the graphical mode: cannot open the display (" + which + ").";
}

// Xlib calls this when the connection to the X server breaks; it must not
// return. GDK's own handler ends the process with status 1, which the package
// scripts do not know: this one says what happened and ends with -1 (255),
// the program's failure status, as every other way out of a failed run does.
int LostDisplay(Display*) {
    const char* display = std::getenv("DISPLAY");
    std::printf("Halvern:ERROR: Lost the connection to the display (DISPLAY=%s).\n", display ? display : "");
    std::fflush(stdout);
    ::_exit(255);
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
    char* name = argc > 0 && argv != nullptr && argv[0] != nullptr ? argv[0] : const_cast<char*>("Halvern");
    char* gtkArguments[] = {name, nullptr};
    int gtkCount = 1;
    char** gtkVector = gtkArguments;
    if (!gtk_init_check(&gtkCount, &gtkVector)) return Status::Failure(NoDisplayReason());

    if (GDK_IS_X11_DISPLAY(gdk_display_get_default())) XSetIOErrorHandler(LostDisplay);
    g_log_set_handler("Gtk", G_LOG_LEVEL_MESSAGE, FilterGtkMessages, nullptr);
    g_idle_add(FinishLaunching, &delegate);
    gtk_main();
    return Status::Ok();
}

}  // namespace platform
