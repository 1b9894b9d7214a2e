#pragma once
// An alert answered by the test: each alert takes the next answer in line, or
// asks onShow; with neither it is dismissed (the last button).

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/Alert.h"

class FakeAlert : public platform::Alert {
public:
    struct Shown {
        std::string messageText;
        std::string informativeText;
        std::vector<std::string> buttons;
    };

    int runModal(const std::string& messageText, const std::string& informativeText,
                 const std::vector<std::string>& buttons) override {
        shown.push_back(Shown{messageText, informativeText, buttons});
        if (onShow) return onShow(shown.back());
        if (!answers.empty()) {
            const int answer = answers.front();
            answers.pop_front();
            return answer;
        }
        return kFirstButton + static_cast<int>(buttons.size()) - 1;
    }

    std::deque<int> answers;
    std::function<int(const Shown&)> onShow;
    std::vector<Shown> shown;  // every alert, in order
};
