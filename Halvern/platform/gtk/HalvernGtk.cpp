// The entry point of the graphical module.

#include "platform/gtk/HalvernGtk.h"

#include "platform/gtk/GtkAlert.h"
#include "platform/gtk/GtkApplication.h"
#include "platform/gtk/GtkOpenPanel.h"

extern "C" __attribute__((visibility("default"))) platform::GtkServices* HalvernGtkServices(int version) {
    if (version != platform::kGtkModuleVersion) return nullptr;
    static platform::GtkApplication sApplication;
    static platform::GtkAlert sAlert;
    static platform::GtkOpenPanel sOpenPanel;
    static platform::GtkServices sServices{sApplication, sAlert, sOpenPanel};
    return &sServices;
}
