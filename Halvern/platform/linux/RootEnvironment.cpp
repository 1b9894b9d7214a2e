#include <cstdio>
#include <cstdlib>

#include "platform/Environment.h"
#include "platform/linux/GDBusBuses.h"
#include "platform/linux/RootTrust.h"

namespace platform {

namespace {

// Each names a module, a module folder, a module list or a helper program that
// is loaded or run from the path it gives. Variables that only choose among
// what the system installed (GSETTINGS_BACKEND, GTK_IM_MODULE, GDK_BACKEND) or
// point at data that cannot run (XDG_DATA_DIRS, GTK_THEME, GTK_DATA_PREFIX)
// stay.
constexpr const char* kModuleVariables[] = {
    // GIO: extra modules, the module folder, the helper that launches programs.
    "GIO_EXTRA_MODULES", "GIO_MODULE_DIR", "GIO_LAUNCH_DESKTOP",
    // GTK: modules, module folders, the input-method module list, the prefix
    // its module folders are found under.
    "GTK_MODULES", "GTK3_MODULES", "GTK_PATH", "GTK_IM_MODULE_FILE", "GTK_EXE_PREFIX",
    // GdkPixbuf: the image loader list and folder.
    "GDK_PIXBUF_MODULE_FILE", "GDK_PIXBUF_MODULEDIR",
    // The C library's character-set converters, which GLib's g_convert opens.
    "GCONV_PATH",
    // The accessibility bus address (see below).
    "AT_SPI_BUS_ADDRESS",
};

}  // namespace

void ClearModuleVariablesWhenRoot() {
    if (!EffectiveUserIsRoot()) return;
    for (const char* name : kModuleVariables) ::unsetenv(name);
    // GTK's accessibility bridge connects through libdbus to the bus that the
    // session names, and libdbus runs a "unixexec:" address as a program; a
    // root installer needs none of it.
    ::setenv("NO_AT_BRIDGE", "1", 1);
    // A bus address other than a unix socket can make the library start a
    // program (autolaunch:) or send a file's bytes to a peer (nonce-tcp:);
    // such a bus is left alone, and the caller is told once.
    for (const char* variable : {"DBUS_SESSION_BUS_ADDRESS", "DBUS_SYSTEM_BUS_ADDRESS"}) {
        if (const std::optional<std::string> refused = gdbus::RefusedBusAddress(variable)) {
            std::fprintf(stdout, "%s\n", refused->c_str());
            std::fflush(stdout);
        }
    }
}

}  // namespace platform
