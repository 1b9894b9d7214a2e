#pragma once
// The one reader of every property list the program reads: the Info.plist of a
// bundle (the program's own, a proposed viewer, a handler's, a running
// application's), the "Localizable" tables and the system's property-list files.
// Some of these belong to other users (any user can start a program from a
// bundle of their own, and the scan reads it as root), so a read costs little
// and cannot block, crash or grow, whatever the file holds:
//
// - Links: the folder the read starts from (`base`) is reached as the system
//   resolves it, links included: a bundle that is itself a link, or
//   /Applications linked elsewhere, is legitimate. No component of the path
//   below it may be a symbolic link (each is opened with O_NOFOLLOW), so the
//   file read lies inside that folder, unless the caller lets links inside be
//   followed (a bundle read by a program that does not run as root, which can
//   read nothing the user could not read anyway).
// - Only a regular file is read. It is opened with O_NONBLOCK (a FIFO or a
//   device never blocks the open) and checked with fstat on the descriptor.
// - At most kMaximumPropertyListSize bytes (1 MiB): a larger file is refused
//   without being read.
// - Before libplist sees a byte, the structure is checked without recursion: XML
//   tags known and balanced, nested at most kMaximumPropertyListDepth (32)
//   levels, at most kMaximumPropertyListNodes (8,192) elements; binary object
//   references inside the file, no cycles, at most 32 levels, at most 8,192
//   references. Anything else is refused. Checking a file thus costs well under
//   a millisecond whatever it holds.
// - Only the root dictionary's entries whose key the caller asks for and whose
//   value is a string reach libplist; the rest of the file is only checked as
//   above (the values of other keys are not decoded).
// - A key or a string holding a NUL character counts as absent, and so does a
//   string longer than kMaximumPropertyListString (16 KiB as stored).
//
// A refused file is "no property list": the caller's nullopt.

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Bundles.h"

namespace platform {

// The largest property-list file read, in bytes (1 MiB). Far above any
// Info.plist or string table of an application.
inline constexpr size_t kMaximumPropertyListSize = 1024 * 1024;
// The deepest nesting accepted; the <plist> element of XML counts as a level.
inline constexpr int kMaximumPropertyListDepth = 32;
// The most XML elements, or binary object references, in one file: several
// times what the largest Info.plist of an application holds.
inline constexpr size_t kMaximumPropertyListNodes = 8 * 1024;
// The longest string value kept, in bytes as the file stores it.
inline constexpr size_t kMaximumPropertyListString = 16 * 1024;

// The keys of the root dictionary that a read keeps.
class PlistKeys {
public:
    // Every key (a string table, whose lookups may ask for any key).
    static PlistKeys All() { return PlistKeys(); }
    PlistKeys(std::initializer_list<std::string_view> keys) : all_(false), keys_(keys.begin(), keys.end()) {}

    bool all() const { return all_; }
    bool wants(std::string_view key) const;

private:
    PlistKeys() = default;
    bool all_ = true;
    std::vector<std::string> keys_;
};

// The outcome of reading one file.
struct PlistFile {
    // False when no entry exists at the path (some component is missing); a
    // link, a FIFO or a folder in its place exists.
    bool found = false;
    // The kept string entries; nullopt when the file was refused, is no
    // property list or its root is no dictionary.
    std::optional<InfoDictionary> strings;
};

// Whether the components of the path below base may be symbolic links.
enum class LinksInside { Refuse, Follow };

// Reads the property list at inside, a relative path below the folder base,
// under the rules above.
PlistFile ReadPropertyList(const std::string& base, std::string_view inside, const PlistKeys& keys,
                           LinksInside links = LinksInside::Refuse);

// The same for a file given by its full path: its folder is the base.
std::optional<InfoDictionary> ReadPropertyListFile(const std::string& path, const PlistKeys& keys);

// The checks and the reading of property-list data already in memory (at most
// kMaximumPropertyListSize bytes).
std::optional<InfoDictionary> ParsePropertyList(std::string_view data, const PlistKeys& keys);

}  // namespace platform
