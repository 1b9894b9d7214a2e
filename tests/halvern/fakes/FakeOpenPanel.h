#pragma once
// An open panel that lists the entries the test gives it, asks the delegate
// about each (as the real panel filters its list), and answers as the test says.

#include <functional>
#include <string>
#include <vector>

#include "platform/OpenPanel.h"

class FakeOpenPanel : public platform::OpenPanel {
public:
    int runModal(const platform::OpenPanelOptions& options) override {
        runs.push_back(options);
        shownEntries.clear();
        for (const std::string& entry : entries) {
            if (options.delegate == nullptr || options.delegate->panelShouldShowFilename(*this, entry)) {
                shownEntries.push_back(entry);
            }
        }
        if (onRun) onRun(options);
        return response;
    }
    std::vector<std::string> URLs() const override { return urls; }

    std::vector<std::string> entries;       // what the panel would list
    int response = kCancelButton;           // what runModal answers
    std::vector<std::string> urls;          // what URLs() answers
    std::function<void(const platform::OpenPanelOptions&)> onRun;

    std::vector<platform::OpenPanelOptions> runs;  // every run's options
    std::vector<std::string> shownEntries;         // the entries the delegate showed in the last run
};
