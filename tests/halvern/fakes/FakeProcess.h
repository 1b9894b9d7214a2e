#pragma once
// The process as the test sets it up: its argument vector, and an exit that
// records the status and unwinds to the test by throwing ProcessExit.

#include <string>
#include <vector>

#include "platform/Process.h"

struct ProcessExit {
    int status;
};

class FakeProcess : public platform::Process {
public:
    std::span<char* const> arguments() const override { return {vector_.data(), vector_.size()}; }
    void exit(int status) override {
        exits.push_back(status);
        throw ProcessExit{status};
    }

    // The vector that arguments() returns, made of these texts.
    void setArguments(std::vector<std::string> arguments) {
        storage_ = std::move(arguments);
        vector_.clear();
        for (std::string& argument : storage_) vector_.push_back(argument.data());
    }

    std::vector<int> exits;  // every status exit was called with

private:
    std::vector<std::string> storage_;
    std::vector<char*> vector_;
};
