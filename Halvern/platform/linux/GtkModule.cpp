#include "platform/linux/GtkModule.h"

#include <dlfcn.h>

namespace platform {

GtkServices* GtkModule::services() {
    if (tried_) return services_;
    tried_ = true;

    const std::optional<std::string> bundle = bundles_.mainBundlePath();
    if (!bundle) {
        failure_ = std::string("Cannot find the graphical module ") + kGtkModulePath +
                   ": the program does not lie inside an application bundle.";
        return nullptr;
    }
    const std::string path = *bundle + "/" + kGtkModulePath;
    // Never closed: GTK cannot be unloaded once it has run.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        failure_ = "Cannot load the graphical module " + path + ": " + (reason ? reason : "unknown error");
        return nullptr;
    }
    auto entry = reinterpret_cast<HalvernGtkServicesFunction>(dlsym(handle, kGtkServicesSymbol));
    if (entry == nullptr || (services_ = entry(kGtkModuleVersion)) == nullptr) {
        failure_ = "Cannot use the graphical module " + path + ": it is not the module of this program's build.";
        return nullptr;
    }
    return services_;
}

Status GtkModuleApplication::main(int argc, char* const* argv, ApplicationDelegate& delegate) {
    GtkServices* services = module_.services();
    if (services == nullptr) return Status::Failure(module_.failure());
    return services->application.main(argc, argv, delegate);
}

int GtkModuleAlert::runModal(const std::string& messageText, const std::string& informativeText,
                             const std::vector<std::string>& buttons) {
    if (GtkServices* services = module_.services()) return services->alert.runModal(messageText, informativeText, buttons);
    return kFirstButton + static_cast<int>(buttons.empty() ? 0 : buttons.size() - 1);
}

int GtkModuleOpenPanel::runModal(const OpenPanelOptions& options) {
    if (GtkServices* services = module_.services()) return services->openPanel.runModal(options);
    return kCancelButton;
}

std::vector<std::string> GtkModuleOpenPanel::URLs() const {
    if (GtkServices* services = module_.services()) return services->openPanel.URLs();
    return {};
}

}  // namespace platform
