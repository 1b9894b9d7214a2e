#include "FakeConsole.h"

std::vector<std::string> FakeConsole::lines() const {
    std::vector<std::string> result;
    size_t start = 0;
    while (start < output.size()) {
        const size_t end = output.find('\n', start);
        if (end == std::string::npos) {
            result.push_back(output.substr(start));
            break;
        }
        result.push_back(output.substr(start, end - start));
        start = end + 1;
    }
    return result;
}
