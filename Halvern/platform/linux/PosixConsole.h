#pragma once
// Standard output of the process, through stdio so that the lines keep their
// order with anything else the process prints.

#include "platform/Console.h"

namespace platform {

class PosixConsole : public Console {
public:
    void write(std::string_view text) override;
};

}  // namespace platform
