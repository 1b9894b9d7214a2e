#pragma once
// A modal alert of the critical style.

#include <string>
#include <vector>

namespace platform {

class Alert {
public:
    // The code of the first button; the n-th button answers kFirstButton + n - 1.
    static constexpr int kFirstButton = 1000;

    virtual ~Alert() = default;

    // Shows an application-modal alert of the critical (error) style, brought to
    // the front above the program that started this one: messageText as its
    // headline, informativeText below it, and one button per title, in the
    // given order, the first the default (Return presses it). Blocks until the
    // user answers and returns the pressed button's code. Dismissing the alert
    // without a button (Escape, the window's close button) answers as the last
    // button. The texts are shown as given; buttons must not be empty.
    virtual int runModal(const std::string& messageText, const std::string& informativeText,
                         const std::vector<std::string>& buttons) = 0;
};

}  // namespace platform
