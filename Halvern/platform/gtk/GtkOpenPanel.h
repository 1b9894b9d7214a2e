#pragma once
// The open panel on GTK 3: a GtkFileChooserDialog that selects folders (an
// application bundle is a folder here). A custom filter asks the delegate about
// every entry, so that GTK greys out the bundles it rejects; the response
// handler applies the same checks to whatever is confirmed, a typed path
// included, and keeps the panel open when they fail.

#include "platform/OpenPanel.h"

namespace platform {

class GtkOpenPanel : public OpenPanel {
public:
    int runModal(const OpenPanelOptions& options) override;
    std::vector<std::string> URLs() const override { return urls_; }

    // True when path may be confirmed under options: it has one of the allowed
    // extensions (any, when none is given) and the delegate shows it.
    bool isChoosable(const OpenPanelOptions& options, const std::string& path);

private:
    std::vector<std::string> urls_;
};

}  // namespace platform
