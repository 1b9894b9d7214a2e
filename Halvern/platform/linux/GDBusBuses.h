#pragma once
// The buses of the GDBus notification center: where each is, and the state of
// its connection while it is opened, used, lost and opened again.

#include <gio/gio.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/linux/GDBusCommon.h"
#include "platform/linux/GDBusNotificationCenter.h"

namespace platform {

struct GDBusNotificationCenter::Bus {
    explicit Bus(const char* name) : label(name) {}
    const char* label;  // "system bus", "session bus"
    GDBusConnection* connection = nullptr;
    std::string address;
    guint filter = 0;
    std::optional<gdbus::SteadyClock::time_point> lastAttempt;
    std::string failure;  // why it is not connected
    // A connection being opened, and when it is given up.
    struct Attempt {
        std::shared_ptr<gdbus::ConnectResult> result;
        std::unique_ptr<gdbus::BoundedCall> call;
        gdbus::SteadyClock::time_point deadline;
    };
    std::optional<Attempt> attempt;
    // The connection carries the observers' match rules; and one that did has
    // closed since observers last registered.
    bool observed = false;
    bool lost = false;
};

namespace gdbus {

// True when addresses (a list split by ";") names unix sockets only, each by
// path= or abstract=: connecting to them runs nothing and sends nothing
// elsewhere.
bool IsLocalSocketAddress(const std::string& addresses);
// When root would be given another kind of address in variable, the one line
// that says that bus is not used; nullopt otherwise.
std::optional<std::string> RefusedBusAddress(const char* variable);

// The address of each bus, read now; nullopt, saying why, when there is none
// (or root may not use the one given).
std::optional<std::string> SystemBusAddress(std::string* why);
std::optional<std::string> SessionBusAddress(std::string* why);

}  // namespace gdbus

}  // namespace platform
