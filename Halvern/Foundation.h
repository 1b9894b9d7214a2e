#pragma once
// Small string and path operations with the exact semantics that the installer's
// logic relies on. Pure functions: no platform access.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The string made of a C string when it is valid UTF-8; nullopt for a null
// pointer or bytes that are not UTF-8 (overlong forms and surrogates included).
std::optional<std::string> StringWithUTF8String(const char* bytes);

// printf-style formatting into a string. Only the program's own fixed formats are
// ever passed as fmt; texts from outside are always arguments.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Every occurrence of target in text replaced by replacement, scanning left to
// right without rescanning what was inserted. An empty target changes nothing.
std::string ReplaceOccurrences(std::string_view text, std::string_view target, std::string_view replacement);

// text split at every occurrence of separator; empty components stay, and a text
// without the separator gives one component (the whole text).
std::vector<std::string> ComponentsSeparatedByString(std::string_view text, std::string_view separator);

// The integer at the start of text as atoi reads it: leading white space, an
// optional sign, then decimal digits up to the first non-digit; 0 when there are
// no digits. nullopt when the number does not fit a signed 32-bit integer.
std::optional<int32_t> LeadingInt32(std::string_view text);
