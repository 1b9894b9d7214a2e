#pragma once
// A modal open panel for choosing one application bundle.

#include <optional>
#include <string>
#include <vector>

namespace platform {

class OpenPanel;

// Decides which entries the panel offers.
class OpenPanelDelegate {
public:
    // True to show the entry at filename (a full path) as choosable. Called on
    // the main thread while the panel runs, any number of times per entry.
    virtual bool panelShouldShowFilename(OpenPanel& panel, const std::string& filename) = 0;

protected:
    ~OpenPanelDelegate() = default;
};

struct OpenPanelOptions {
    OpenPanelDelegate* delegate = nullptr;  // nullptr: every entry is shown
    std::string message;                    // shown above the file list
    std::string title;                      // the window's title
    std::string directory;                  // the folder shown first
    std::string nameFieldStringValue;       // the entry of that folder preselected
    // The name extensions (without the dot) that may be chosen; empty: any.
    std::vector<std::string> allowedFileTypes;
};

class OpenPanel {
public:
    static constexpr int kOKButton = 1;
    static constexpr int kCancelButton = 0;

    virtual ~OpenPanel() = default;

    // Runs the panel modally, brought to the front, once. Returns kOKButton when
    // the user confirmed a choice, kCancelButton when the panel was cancelled
    // or closed. Only an entry that has an allowed extension and that the
    // delegate shows can be confirmed, whether picked in the list or typed.
    virtual int runModal(const OpenPanelOptions& options) = 0;

    // The full paths chosen in the last runModal that answered kOKButton.
    virtual std::vector<std::string> URLs() const = 0;
};

}  // namespace platform
