#pragma once
// The application framework on GTK 3: gtk_init_check, then the delegate's
// launch callback from an idle source of GTK's main loop.

#include "platform/Application.h"

namespace platform {

class GtkApplication : public Application {
public:
    Status main(int argc, char* const* argv, ApplicationDelegate& delegate) override;
};

}  // namespace platform
