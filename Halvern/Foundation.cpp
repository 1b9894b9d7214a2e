#include "Foundation.h"

#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
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

namespace {

// path without its trailing "/", except that a path made only of "/" keeps one.
std::string_view TrimTrailingSlashes(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    return path;
}

}  // namespace

std::string LastPathComponent(std::string_view path) {
    path = TrimTrailingSlashes(path);
    if (path == "/") return std::string(path);
    const size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string StringByDeletingLastPathComponent(std::string_view path) {
    path = TrimTrailingSlashes(path);
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return "";
    std::string_view parent = path.substr(0, slash);
    while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
    return parent.empty() ? "/" : std::string(parent);
}

// --- Paths and URLs ----------------------------------------------------------------

namespace {

std::optional<std::string> HomeFolder(std::string_view user) {
    if (user.empty()) {
        if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return std::string(home);
    }
    std::string name(user);
    struct passwd entry;
    struct passwd* found = nullptr;
    std::string buffer(16384, '\0');
    const int rc = user.empty() ? ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found)
                                : ::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (rc != 0 || found == nullptr || found->pw_dir == nullptr) return std::nullopt;
    return std::string(found->pw_dir);
}

std::string JoinComponents(bool absolute, const std::vector<std::string_view>& components) {
    std::string result = absolute ? "/" : "";
    for (size_t i = 0; i < components.size(); ++i) {
        if (i > 0) result += '/';
        result.append(components[i]);
    }
    return result;
}

// RFC 3986 remove_dot_segments on a path, then the trailing "/" dropped.
std::string RemoveDotSegments(std::string_view path) {
    const bool absolute = path.starts_with('/');
    std::vector<std::string_view> kept;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view component = path.substr(start, end - start);
        if (component == "..") {
            if (!kept.empty() && kept.back() != "..") {
                kept.pop_back();
            } else if (!absolute) {
                kept.push_back(component);
            }
        } else if (component != "." && !component.empty()) {
            kept.push_back(component);
        }
        start = end + 1;
    }
    return JoinComponents(absolute, kept);
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

// The characters that a URL string may hold (RFC 3986: unreserved, reserved and
// "%" escapes); anything else makes the text no URL.
bool IsURLCharacter(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::strchr("-._~:/?#[]@!$&'()*+,;=%", c) != nullptr && c != '\0';
}

}  // namespace

std::string StringByStandardizingPath(std::string_view path) {
    std::string expanded(path);
    if (path.starts_with('~')) {
        const size_t slash = path.find('/');
        const std::string_view user = path.substr(1, slash == std::string_view::npos ? std::string_view::npos : slash - 1);
        if (const std::optional<std::string> home = HomeFolder(user)) {
            expanded = *home;
            if (slash != std::string_view::npos) expanded.append(path.substr(slash));
        }
    }
    if (expanded.empty()) return expanded;

    const bool absolute = expanded.starts_with('/');
    std::vector<std::string_view> kept;
    const std::string_view view(expanded);
    size_t start = 0;
    while (start <= view.size()) {
        size_t end = view.find('/', start);
        if (end == std::string_view::npos) end = view.size();
        const std::string_view component = view.substr(start, end - start);
        if (component == ".." && absolute) {
            if (!kept.empty()) kept.pop_back();
        } else if (component != "." && !component.empty()) {
            kept.push_back(component);
        }
        start = end + 1;
    }
    return JoinComponents(absolute, kept);
}

std::string StandardizedFileURLPath(std::string_view path) { return RemoveDotSegments(path); }

std::optional<std::string> PathOfStandardizedURLWithString(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (!IsURLCharacter(text[i])) return std::nullopt;
        if (text[i] == '%' && (i + 2 >= text.size() || !IsHexDigit(text[i + 1]) || !IsHexDigit(text[i + 2]))) {
            return std::nullopt;
        }
    }
    // A fragment may appear once; a second "#" is no URL.
    const size_t hash = text.find('#');
    if (hash != std::string_view::npos && text.find('#', hash + 1) != std::string_view::npos) return std::nullopt;

    std::string_view rest = text.substr(0, hash);
    rest = rest.substr(0, rest.find('?'));

    // scheme ":" (letters, then letters, digits, "+", "-", ".")
    size_t schemeEnd = 0;
    if (!rest.empty() && std::isalpha(static_cast<unsigned char>(rest[0]))) {
        size_t i = 1;
        while (i < rest.size() && (std::isalnum(static_cast<unsigned char>(rest[i])) || rest[i] == '+' ||
                                   rest[i] == '-' || rest[i] == '.')) {
            ++i;
        }
        if (i < rest.size() && rest[i] == ':') schemeEnd = i + 1;
    }
    std::string_view path = rest.substr(schemeEnd);
    if (path.starts_with("//")) {
        const size_t slash = path.find('/', 2);
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash);
    } else if (schemeEnd > 0 && !path.starts_with('/')) {
        return std::nullopt;  // "mailto:x": no hierarchical path
    }

    const std::string standardized = RemoveDotSegments(path);
    std::string decoded;
    decoded.reserve(standardized.size());
    for (size_t i = 0; i < standardized.size(); ++i) {
        if (standardized[i] == '%') {
            decoded += static_cast<char>(HexValue(standardized[i + 1]) * 16 + HexValue(standardized[i + 2]));
            i += 2;
        } else {
            decoded += standardized[i];
        }
    }
    if (decoded.find('\0') != std::string::npos) return std::nullopt;
    return StringWithUTF8String(decoded.c_str());
}

std::string StringByDeletingPathExtension(std::string_view path) {
    while (path.size() > 1 && path.ends_with('/')) path.remove_suffix(1);
    const size_t slash = path.rfind('/');
    const size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
    const size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || dot <= nameStart) return std::string(path);
    return std::string(path.substr(0, dot));
}

std::string StringByAppendingPathComponent(std::string_view path, std::string_view component) {
    std::string result(path);
    if (!result.empty() && !result.ends_with('/')) result += '/';
    while (component.starts_with('/')) component.remove_prefix(1);
    result.append(component);
    return result;
}

int32_t IntValue(std::string_view text) {
    if (const std::optional<int32_t> value = LeadingInt32(text)) return *value;
    // Only an overflow gets here: the text is white space, a sign, then digits.
    const size_t sign = text.find_first_not_of(" \t\n\v\f\r");
    return text[sign] == '-' ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int32_t>::max();
}
