#pragma once
// Small string and path operations with the exact semantics that the installer's
// logic relies on. Pure functions: no platform access (the one exception: the
// home folder lookup of a "~" in StringByStandardizingPath).

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

// The last component of a path, as NSString's lastPathComponent gives it:
// trailing "/" are ignored, "/" stays "/", a path without "/" is itself.
std::string LastPathComponent(std::string_view path);

// The path without its last component, as NSString's
// stringByDeletingLastPathComponent gives it: "/a/b.app" and "/a/b.app/" give
// "/a", "/a" and "/" give "/", a path without "/" gives "".
std::string StringByDeletingLastPathComponent(std::string_view path);

// --- Paths and URLs ----------------------------------------------------------------

// path standardized: a leading "~" or "~user" replaced by that home folder ($HOME
// for the user's own), empty and "." components dropped, in an absolute path each
// ".." removed together with the component before it (a relative path keeps its
// ".."), and no trailing "/". Symbolic links are not resolved. "" stays "".
std::string StringByStandardizingPath(std::string_view path);

// The path of the file URL for path once the URL is standardized: "." and ".."
// segments removed, no trailing "/" (except the root itself). No tilde expansion.
std::string StandardizedFileURLPath(std::string_view path);

// text parsed as a URL string, the URL standardized, and its path percent-decoded:
// "file:///Applications/Veldane%20Lumaro.app/" gives "/Applications/Veldane Lumaro.app".
// nullopt when text is not a URL string (characters a URL cannot hold, such as a
// space or a bad "%" escape), when the URL has no path (as "mailto:x"), or when its
// path does not decode to UTF-8. A URL without a scheme is a relative one: its path
// is the text itself up to "?" or "#".
std::optional<std::string> PathOfStandardizedURLWithString(std::string_view text);

// path with the extension of its last component removed, and no trailing "/":
// "/a/Veldane Lumaro.app" gives "/a/Veldane Lumaro", "x..pdf" gives "x.", and a
// leading dot starts no extension (".app" stays ".app").
std::string StringByDeletingPathExtension(std::string_view path);

// True when text starts with prefix, character for character.
inline bool HasPrefix(std::string_view text, std::string_view prefix) { return text.starts_with(prefix); }

// path with component appended after one "/" ("/Applications" and "Utilities"
// give "/Applications/Utilities"; so do "/Applications/" and "Utilities").
std::string StringByAppendingPathComponent(std::string_view path, std::string_view component);

// The integer at the start of text as the platform's intValue reads it: like
// LeadingInt32, but a number beyond 32 bits saturates at INT32_MAX or INT32_MIN.
int32_t IntValue(std::string_view text);
