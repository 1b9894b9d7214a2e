#include "platform/linux/SyslogSystemLog.h"

#include <syslog.h>

#include <string>

namespace platform {

namespace {
// openlog keeps the pointer, so the identity must outlive every message.
constexpr const char* kIdentity = "Halvern";
}  // namespace

SyslogSystemLog::~SyslogSystemLog() {
    if (opened_) closelog();
}

void SyslogSystemLog::log(std::string_view message) {
    if (!opened_) {
        openlog(kIdentity, LOG_PID, LOG_USER);
        opened_ = true;
    }
    // The message is an argument, never the format: a "%s" in a text from the
    // string table must reach the log as it stands.
    const std::string terminated(message);
    syslog(LOG_NOTICE, "%s", terminated.c_str());
}

}  // namespace platform
