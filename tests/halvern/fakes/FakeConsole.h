#pragma once
// Standard output kept in memory.

#include <string>
#include <vector>

#include "platform/Console.h"

class FakeConsole : public platform::Console {
public:
    void write(std::string_view text) override {
        output.append(text);
        writes.emplace_back(text);
    }

    // The output split after every line end; a last piece without a line end is
    // kept as it is.
    std::vector<std::string> lines() const;

    std::string output;               // everything written, in order
    std::vector<std::string> writes;  // each call's text
};
