#pragma once
// The application framework as a test drives it: it records how it was started
// and calls the delegate at once, or fails to start as the test says.

#include <optional>
#include <string>
#include <vector>

#include "platform/Application.h"

class FakeApplication : public platform::Application {
public:
    platform::Status main(int argc, char* const* argv, platform::ApplicationDelegate& delegate) override {
        std::vector<std::string> arguments;
        for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i]);
        starts.push_back(std::move(arguments));
        if (startFailure) return platform::Status::Failure(*startFailure);
        delegate.applicationDidFinishLaunching();
        return platform::Status::Ok();
    }

    std::optional<std::string> startFailure;           // set: the framework cannot start
    std::vector<std::vector<std::string>> starts;      // every start's arguments
};
