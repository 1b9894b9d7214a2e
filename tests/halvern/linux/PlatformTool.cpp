// Runs one Linux platform service from the command line, so that a test can run
// it in an environment of its own or inside a sandbox:
//   halvern_platform_tool handlers PATH     the applications for the file, one a line
//   halvern_platform_tool syslog MESSAGE    one system log entry
//   halvern_platform_tool mainbundle        the main bundle's path
//   halvern_platform_tool strings KEY...    the main bundle's texts for the keys
//   halvern_platform_tool console TEXT      TEXT on standard output, then _exit
// Exit status 0, or 2 for a usage error.

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/linux/GioLaunchServices.h"
#include "platform/linux/PlistBundles.h"
#include "platform/linux/PlistStringTable.h"
#include "platform/linux/PosixConsole.h"
#include "platform/linux/SyslogSystemLog.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s handlers|syslog|mainbundle|strings|console ...\n", argv[0]);
        return 2;
    }
    const std::string command = argv[1];
    if (command == "handlers" && argc == 3) {
        platform::GioLaunchServices launchServices;
        const auto applications = launchServices.applicationsForFile(argv[2]);
        if (!applications) {
            std::printf("(no list)\n");
        } else {
            for (const std::string& application : *applications) std::printf("[%s]\n", application.c_str());
        }
        return 0;
    }
    if (command == "syslog" && argc == 3) {
        platform::SyslogSystemLog log;
        log.log(argv[2]);
        return 0;
    }
    if (command == "mainbundle" && argc == 2) {
        platform::PlistBundles bundles;
        std::printf("%s\n", bundles.mainBundlePath().value_or("(none)").c_str());
        return 0;
    }
    if (command == "strings" && argc >= 3) {
        platform::PlistBundles bundles;
        platform::PlistStringTable strings(bundles);
        for (int i = 2; i < argc; ++i) std::printf("%s\n", strings.localizedString(argv[i]).c_str());
        return 0;
    }
    if (command == "console" && argc == 3) {
        platform::PosixConsole console;
        console.write(argv[2]);
        ::_exit(0);  // no stdio flush at exit: the console must have flushed
    }
    std::fprintf(stderr, "%s: bad arguments for %s\n", argv[0], command.c_str());
    return 2;
}
