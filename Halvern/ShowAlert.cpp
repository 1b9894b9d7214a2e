#include "ShowAlert.h"

#include <string>
#include <vector>

#include "Texts.h"

int ShowAlert(platform::Platform& platform, std::string_view title, std::string_view text, bool retry) {
    const platform::StringTable& strings = platform.strings;
    std::vector<std::string> buttons;
    if (retry) {
        buttons.push_back(strings.localizedString(texts::kKeyRetry));
        buttons.push_back(strings.localizedString(texts::kKeyCancel));
    } else {
        buttons.push_back(strings.localizedString(texts::kKeyOK));
    }
    const std::string messageText = strings.localizedString(title);
    const std::string informativeText = strings.localizedString(text);
    return platform.alert.runModal(messageText, informativeText, buttons);
}
