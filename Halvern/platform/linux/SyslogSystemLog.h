#pragma once
// The system log through syslog(3), identity "Halvern". The connection is opened
// on the first message, so a run that logs nothing never touches /dev/log.

#include "platform/SystemLog.h"

namespace platform {

class SyslogSystemLog : public SystemLog {
public:
    ~SyslogSystemLog() override;
    void log(std::string_view message) override;

private:
    bool opened_ = false;
};

}  // namespace platform
