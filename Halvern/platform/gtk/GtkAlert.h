#pragma once
// The alert on GTK 3: a modal GtkMessageDialog of the error type whose buttons
// answer 1000, 1001, ... in the order given.

#include "platform/Alert.h"

namespace platform {

class GtkAlert : public Alert {
public:
    int runModal(const std::string& messageText, const std::string& informativeText,
                 const std::vector<std::string>& buttons) override;
};

}  // namespace platform
