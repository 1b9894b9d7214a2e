// Halvern: links a language pack into the installed viewer bundle. The package's
// scripts run it with four arguments; see the README for the command line.

#include "Halvern.h"
#include "platform/Environment.h"
#include "platform/Platform.h"

int main(int argc, char** argv) {
    // First: nothing below may have read the environment yet.
    platform::ClearModuleVariablesWhenRoot();
    Halvern halvern(platform::DefaultPlatform());
    return halvern.runApp(argc, argv);
}
