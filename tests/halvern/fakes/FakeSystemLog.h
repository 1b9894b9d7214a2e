#pragma once
// The system log kept in memory.

#include <string>
#include <vector>

#include "platform/SystemLog.h"

class FakeSystemLog : public platform::SystemLog {
public:
    void log(std::string_view message) override { messages.emplace_back(message); }

    std::vector<std::string> messages;
};
