#pragma once
// A notification center that records posts and registrations, and delivers
// only what the test hands to deliver(). Posts may come from any thread.

#include <mutex>
#include <vector>

#include "platform/NotificationCenter.h"

class FakeNotificationCenter : public platform::NotificationCenter {
public:
    struct Post {
        std::string name;
        std::optional<std::string> object;
        std::shared_ptr<const platform::NotificationUserInfo> userInfo;
        unsigned options = 0;
    };
    struct Registration {
        const void* observer;
        Callback callback;
        std::optional<std::string> name;
        std::optional<std::string> object;
    };

    void postNotification(const std::string& name, const std::optional<std::string>& object,
                          std::shared_ptr<const platform::NotificationUserInfo> userInfo, unsigned options) override {
        std::lock_guard<std::mutex> guard(mutex);
        posts.push_back(Post{name, object, std::move(userInfo), options});
    }
    platform::Status addObserver(const void* observer, Callback callback, const std::optional<std::string>& name,
                                 const std::optional<std::string>& object) override {
        std::lock_guard<std::mutex> guard(mutex);
        calls.push_back("add " + name.value_or("*"));
        if (addFailure) return platform::Status::Failure(*addFailure);
        registrations.push_back(Registration{observer, std::move(callback), name, object});
        return platform::Status::Ok();
    }
    platform::Status observationStatus(const void*) override {
        std::lock_guard<std::mutex> guard(mutex);
        if (lostConnection) return platform::Status::Failure(*lostConnection);
        return platform::Status::Ok();
    }
    void removeObserver(const void* observer, const std::optional<std::string>& name,
                        const std::optional<std::string>& object) override {
        std::lock_guard<std::mutex> guard(mutex);
        calls.push_back("remove " + name.value_or("*"));
        std::erase_if(registrations, [&](const Registration& r) {
            return r.observer == observer && (!name || r.name == name) && (!object || r.object == object);
        });
    }

    // Hands a notification to every registration that matches it, as the
    // platform would on the observing thread.
    void deliver(const platform::Notification& notification) {
        std::vector<Callback> callbacks;
        {
            std::lock_guard<std::mutex> guard(mutex);
            for (const Registration& r : registrations) {
                if ((!r.name || r.name == notification.name) && (!r.object || r.object == notification.object)) {
                    callbacks.push_back(r.callback);
                }
            }
        }
        for (const Callback& callback : callbacks) callback(notification);
    }

    std::vector<Post> postsCopy() const {
        std::lock_guard<std::mutex> guard(mutex);
        return posts;
    }

    mutable std::mutex mutex;
    std::vector<Post> posts;
    std::vector<Registration> registrations;
    std::vector<std::string> calls;          // "add NAME", "remove NAME" ("*" for any)
    std::optional<std::string> addFailure;  // addObserver fails with this reason
    std::optional<std::string> lostConnection;  // observationStatus fails with this reason
};
