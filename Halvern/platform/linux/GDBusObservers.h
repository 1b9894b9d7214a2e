#pragma once
// The match rules that ask a bus for the signals observers want.

#include <gio/gio.h>

#include <optional>
#include <string>

#include "platform/linux/GDBusCommon.h"
#include "platform/linux/GDBusNotificationCenter.h"

namespace platform::gdbus {

// The rule for signal (any signal when nullopt) whose first argument is object
// (any when nullopt).
std::string MatchRule(const std::optional<GDBusNotificationCenter::Signal>& signal,
                      const std::optional<std::string>& object);
// Adds rule and waits for the bus to take it, until about deadline; false,
// saying why in error, when it did not.
bool AddMatch(GDBusConnection* connection, const std::string& rule, SteadyClock::time_point deadline,
              std::string* error);
// Removes rule; nothing waits for the answer.
void RemoveMatch(GDBusConnection* connection, const std::string& rule);

}  // namespace platform::gdbus
