#include "Foundation.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

std::optional<std::string> StringWithUTF8String(const char* bytes) {
    if (bytes == nullptr) return std::nullopt;
    const auto* s = reinterpret_cast<const unsigned char*>(bytes);
    size_t length = std::strlen(bytes);
    size_t i = 0;
    while (i < length) {
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t extra;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return std::nullopt;
        }
        if (length - i <= extra) return std::nullopt;  // truncated sequence
        for (size_t k = 1; k <= extra; ++k) {
            unsigned char cc = s[i + k];
            if ((cc & 0xC0) != 0x80) return std::nullopt;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            return std::nullopt;
        }
        i += extra + 1;
    }
    return std::string(bytes, length);
}

std::string Format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string result;
    if (needed > 0) {
        result.resize(static_cast<size_t>(needed) + 1);
        std::vsnprintf(result.data(), result.size(), fmt, args);
        result.resize(static_cast<size_t>(needed));
    }
    va_end(args);
    return result;
}

std::string ReplaceOccurrences(std::string_view text, std::string_view target, std::string_view replacement) {
    if (target.empty()) return std::string(text);
    std::string result;
    result.reserve(text.size());
    size_t start = 0;
    for (size_t found; (found = text.find(target, start)) != std::string_view::npos; start = found + target.size()) {
        result.append(text, start, found - start);
        result.append(replacement);
    }
    result.append(text, start);
    return result;
}

std::vector<std::string> ComponentsSeparatedByString(std::string_view text, std::string_view separator) {
    std::vector<std::string> components;
    if (separator.empty()) {
        components.emplace_back(text);
        return components;
    }
    size_t start = 0;
    for (size_t found; (found = text.find(separator, start)) != std::string_view::npos;
         start = found + separator.size()) {
        components.emplace_back(text.substr(start, found - start));
    }
    components.emplace_back(text.substr(start));
    return components;
}

std::optional<int32_t> LeadingInt32(std::string_view text) {
    size_t i = 0;
    auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (i < text.size() && isSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t value = 0;
    const int64_t limit = negative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min())
                                   : std::numeric_limits<int32_t>::max();
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > limit) return std::nullopt;
    }
    return static_cast<int32_t>(negative ? -value : value);
}
