#pragma once
// The installer's one alert: a notice with "OK", or a question with "Retry" and
// "Cancel".

#include <string_view>

#include "platform/Platform.h"

// Shows a modal alert of the critical style, brought to the front. title and
// text may be keys of the "Localizable" table or ready texts: both pass the
// lookup (a text that is no key comes back unchanged). With retry the buttons
// are the lookups of "Retry" and "Cancel", else the lookup of "OK", in that
// order, the first the default. Returns 1000 for the first button (Retry, OK)
// and 1001 for the second (Cancel); dismissing the alert answers as its last
// button.
int ShowAlert(platform::Platform& platform, std::string_view title, std::string_view text, bool retry);
