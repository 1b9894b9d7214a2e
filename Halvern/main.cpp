// Halvern: links a language pack into the installed viewer bundle. The package's
// scripts run it with four arguments; see the README for the command line.

#include "Halvern.h"
#include "platform/Platform.h"

int main(int argc, char** argv) {
    Halvern halvern(platform::DefaultPlatform());
    return halvern.runApp(argc, argv);
}
