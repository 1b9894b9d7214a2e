#include "platform/linux/GDBusNotificationCenter.h"

#include <algorithm>
#include <vector>

#include "platform/linux/GDBusBuses.h"

namespace platform {

using gdbus::SteadyClock;

std::optional<GDBusNotificationCenter::Signal> GDBusNotificationCenter::SignalForName(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos) return std::nullopt;
    Signal signal{name.substr(0, dot), name.substr(dot + 1), "/"};
    if (!g_dbus_is_interface_name(signal.interface.c_str()) || !g_dbus_is_member_name(signal.member.c_str())) {
        return std::nullopt;
    }
    std::string path = "/" + signal.interface;
    std::replace(path.begin(), path.end(), '.', '/');
    if (!g_variant_is_object_path(path.c_str())) return std::nullopt;
    signal.path = path;
    return signal;
}

namespace {

// The arguments of a notification's signal: (s object), or (s object, a{ss} userInfo).
GVariant* SignalBody(const std::optional<std::string>& object,
                     const std::shared_ptr<const NotificationUserInfo>& userInfo) {
    const std::string objectText = object.value_or("");
    if (!g_utf8_validate(objectText.c_str(), static_cast<gssize>(objectText.size()), nullptr)) return nullptr;
    GVariantBuilder arguments;
    g_variant_builder_init(&arguments, G_VARIANT_TYPE_TUPLE);
    g_variant_builder_add(&arguments, "s", objectText.c_str());
    if (userInfo) {
        GVariantBuilder entries;
        g_variant_builder_init(&entries, G_VARIANT_TYPE("a{ss}"));
        for (const auto& [key, value] : *userInfo) {
            if (!g_utf8_validate(key.c_str(), static_cast<gssize>(key.size()), nullptr) ||
                !g_utf8_validate(value.c_str(), static_cast<gssize>(value.size()), nullptr)) {
                continue;  // D-Bus carries UTF-8 only
            }
            g_variant_builder_add(&entries, "{ss}", key.c_str(), value.c_str());
        }
        g_variant_builder_add_value(&arguments, g_variant_builder_end(&entries));
    }
    return g_variant_ref_sink(g_variant_builder_end(&arguments));
}

constexpr size_t kCachedPosts = 16;

}  // namespace

void GDBusNotificationCenter::postNotification(const std::string& name, const std::optional<std::string>& object,
                                               std::shared_ptr<const NotificationUserInfo> userInfo,
                                               unsigned options) {
    std::lock_guard<std::mutex> guard(busMutex_);
    const CachedPost* post = nullptr;
    if (userInfo) {
        for (const CachedPost& cached : posts_) {
            if (cached.userInfo == userInfo && cached.name == name && cached.object == object) post = &cached;
        }
    }
    std::optional<Signal> fresh;
    GVariant* body = nullptr;
    if (post != nullptr) {
        body = g_variant_ref(post->body);
    } else {
        fresh = SignalForName(name);
        if (!fresh) return;
        body = SignalBody(object, userInfo);
        if (body == nullptr) return;
        if (userInfo) {
            if (posts_.size() >= kCachedPosts) {
                g_variant_unref(posts_.front().body);
                posts_.erase(posts_.begin());
            }
            posts_.push_back(CachedPost{name, object, userInfo, *fresh, g_variant_ref(body)});
        }
    }
    const Signal& signal = post != nullptr ? post->signal : *fresh;

    // Never waits for a connection while there is a bus to post on: a bus that
    // is not up is tried again on a thread of its own, and the post goes out
    // over what is connected now.
    std::vector<BusKind> order;
    if ((options & kPostToAllSessions) != 0) order.push_back(BusKind::System);
    order.push_back(BusKind::Session);
    for (BusKind kind : order) finishConnecting(bus(kind), false, SteadyClock::now());
    if ((options & kPostToAllSessions) != 0 && !connected(*system_)) {
        // Both at once while the system bus is not up: should it not come up,
        // the session bus is ready without a second wait.
        startConnecting(BusKind::System, true);
        startConnecting(BusKind::Session, true);
    } else {
        startConnecting(order.front(), true);
    }
    const bool anyConnected =
        std::any_of(order.begin(), order.end(), [&](BusKind kind) { return connected(bus(kind)); });
    if (!anyConnected) {
        // Nothing to post on yet (the first post, or every bus lost): the
        // attempts under way are waited for, the preferred bus first.
        const SteadyClock::time_point deadline = SteadyClock::now() + kConnectTimeout;
        for (BusKind kind : order) {
            finishConnecting(bus(kind), true, deadline);
            if (connected(bus(kind))) break;
        }
    }
    for (BusKind kind : order) {
        Bus& target = bus(kind);
        if (!connected(target)) continue;
        GError* error = nullptr;
        if (g_dbus_connection_emit_signal(target.connection, nullptr, signal.path.c_str(), signal.interface.c_str(),
                                          signal.member.c_str(), body, &error)) {
            break;
        }
        target.failure = gdbus::TakeMessage(error);
        disconnect(target);
    }
    g_variant_unref(body);
}

}  // namespace platform
