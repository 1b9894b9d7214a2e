#pragma once
// The graphical services, served by the module HalvernGtk.so inside the main
// bundle, which is opened with dlopen on first use. Until a graphical service is
// asked for, no GTK library is loaded (the command-line mode never asks).

#include <string>

#include "platform/Alert.h"
#include "platform/Application.h"
#include "platform/Bundles.h"
#include "platform/OpenPanel.h"
#include "platform/gtk/HalvernGtk.h"

namespace platform {

class GtkModule {
public:
    explicit GtkModule(const Bundles& bundles) : bundles_(bundles) {}

    // The module's services, loading the module on the first call. nullptr when
    // it cannot be loaded; failure() then says why, naming the module's path.
    GtkServices* services();
    const std::string& failure() const { return failure_; }

private:
    const Bundles& bundles_;
    bool tried_ = false;
    GtkServices* services_ = nullptr;
    std::string failure_;
};

class GtkModuleApplication : public Application {
public:
    explicit GtkModuleApplication(GtkModule& module) : module_(module) {}
    // A module that cannot be loaded is a failure to start, with its reason.
    Status main(int argc, char* const* argv, ApplicationDelegate& delegate) override;

private:
    GtkModule& module_;
};

class GtkModuleAlert : public Alert {
public:
    explicit GtkModuleAlert(GtkModule& module) : module_(module) {}
    // Without the module nobody can answer: the last button (Cancel, OK) is the
    // answer that changes nothing.
    int runModal(const std::string& messageText, const std::string& informativeText,
                 const std::vector<std::string>& buttons) override;

private:
    GtkModule& module_;
};

class GtkModuleOpenPanel : public OpenPanel {
public:
    explicit GtkModuleOpenPanel(GtkModule& module) : module_(module) {}
    // Without the module the panel counts as cancelled.
    int runModal(const OpenPanelOptions& options) override;
    std::vector<std::string> URLs() const override;

private:
    GtkModule& module_;
};

}  // namespace platform
