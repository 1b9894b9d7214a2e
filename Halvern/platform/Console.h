#pragma once
// Standard output, where the package scripts read the program's lines.

#include <string_view>

namespace platform {

class Console {
public:
    virtual ~Console() = default;
    // Writes the text exactly as given (no line end is added) and flushes it, so
    // that lines reach the script in order even when the process ends with exit().
    virtual void write(std::string_view text) = 0;
};

}  // namespace platform
