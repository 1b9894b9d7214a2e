#include "platform/linux/PlistReader.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <utility>

namespace platform {

bool PlistKeys::wants(std::string_view key) const {
    if (all_) return true;
    return std::find(keys_.begin(), keys_.end(), key) != keys_.end();
}

namespace {

// --- What goes to libplist ---------------------------------------------------------

// One entry of the root dictionary, as it stands in the file: for XML the <key>
// element and the <string> element, for a binary list the two string objects.
struct Entry {
    std::string_view key;
    std::string_view value;
};

// The entries handed on: each wanted key once (the first of a repeated key
// counts), and only with a string value free of NUL characters.
class Selection {
public:
    explicit Selection(const PlistKeys& keys) : keys_(keys) {}
    // Whether an entry under key would be kept; a key holding a NUL never is.
    bool wants(std::string_view key) const {
        return key.find('\0') == std::string_view::npos && keys_.wants(key) && !seen_.contains(key);
    }
    // Keeps the entry of a wanted key whose value decodes to text.
    void add(std::string_view key, const std::optional<std::string>& value, Entry entry) {
        if (!value || value->find('\0') != std::string::npos) return;
        seen_.emplace(key);
        entries.push_back(entry);
    }
    std::vector<Entry> entries;

private:
    const PlistKeys& keys_;
    std::set<std::string, std::less<>> seen_;
};

// --- XML -----------------------------------------------------------------------------

// The first marker (a few characters) in text from from on: memchr to the
// marker's last character, then a plain loop for a stretch after a near miss,
// so that the search stays linear with a small constant whatever the text
// holds (string_view::find and memmem slow down on long runs of the marker's
// characters, memchr alone on dense ones).
size_t Find(std::string_view text, std::string_view marker, size_t from) {
    const size_t length = marker.size();
    const char last = marker.back();
    const auto matchesAt = [&](size_t end) {  // the marker ends just before end
        size_t matched = 1;
        while (matched < length && text[end - 1 - matched] == marker[length - 1 - matched]) ++matched;
        return matched == length;
    };
    constexpr size_t kStretch = 64;
    size_t end = from + length;
    while (end <= text.size()) {
        const void* hit = std::memchr(text.data() + end - 1, last, text.size() - end + 1);
        if (hit == nullptr) return std::string_view::npos;
        end = static_cast<size_t>(static_cast<const char*>(hit) - text.data()) + 1;
        for (const size_t stop = std::min(text.size(), end + kStretch); end <= stop; ++end) {
            if (text[end - 1] == last && matchesAt(end)) return end - length;
        }
    }
    return std::string_view::npos;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The elements of a property list: containers hold elements, the others text.
enum class Element { kUnknown, kContainer, kText };
Element Classify(std::string_view name) {
    switch (name.size()) {
        case 3:
            return name == "key" ? Element::kText : Element::kUnknown;
        case 4:
            if (name == "dict") return Element::kContainer;
            return name == "data" || name == "date" || name == "real" || name == "true" ? Element::kText
                                                                                         : Element::kUnknown;
        case 5:
            if (name == "plist" || name == "array") return Element::kContainer;
            return name == "false" ? Element::kText : Element::kUnknown;
        case 6:
            return name == "string" ? Element::kText : Element::kUnknown;
        case 7:
            return name == "integer" ? Element::kText : Element::kUnknown;
        default:
            return Element::kUnknown;
    }
}

void AppendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The text of an element's content (character references, the five named
// entities, CDATA sections, comments); nullopt for anything else.
std::optional<std::string> DecodeXmlText(std::string_view text) {
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        const char c = text[at];
        if (c == '&') {
            // References are short: look no further (a run of '&' stays linear).
            const size_t end = text.substr(0, at + 12).find(';', at);
            if (end == std::string_view::npos) return std::nullopt;
            const std::string_view name = text.substr(at + 1, end - at - 1);
            at = end + 1;
            static constexpr std::pair<std::string_view, char> kNamed[] = {
                {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
            const auto named = std::find_if(std::begin(kNamed), std::end(kNamed),
                                            [&](const auto& entity) { return entity.first == name; });
            if (named != std::end(kNamed)) {
                out += named->second;
                continue;
            }
            if (name.size() < 2 || name[0] != '#') return std::nullopt;
            const bool hex = name[1] == 'x' || name[1] == 'X';
            const std::string digits(name.substr(hex ? 2 : 1));
            if (digits.empty()) return std::nullopt;
            char* stop = nullptr;
            const unsigned long value = std::strtoul(digits.c_str(), &stop, hex ? 16 : 10);
            if (*stop != '\0' || value > 0x10FFFF) return std::nullopt;
            AppendUtf8(out, static_cast<uint32_t>(value));
        } else if (c == '<') {
            if (text.substr(at).starts_with("<!--")) {
                const size_t end = Find(text, "-->", at + 4);
                if (end == std::string_view::npos) return std::nullopt;
                at = end + 3;
            } else if (text.substr(at).starts_with("<![CDATA[")) {
                const size_t end = Find(text, "]]>", at + 9);
                if (end == std::string_view::npos) return std::nullopt;
                out.append(text.substr(at + 9, end - at - 9));
                at = end + 3;
            } else {
                return std::nullopt;
            }
        } else {
            const size_t next = std::min(text.find_first_of("&<", at), text.size());
            out.append(text.substr(at, next - at));
            at = next;
        }
    }
    return out;
}

// A pass over XML that checks its tags (balanced, known, at most
// kMaximumPropertyListDepth deep, one root object inside <plist>, keys and
// values alternating in the root dictionary) and picks the root dictionary's
// entries. Iterative: the depth lives in a bounded vector.
class XmlScan {
public:
    XmlScan(std::string_view data, Selection& selection) : d_(data), selection_(selection) {}

    // False when the data is refused.
    bool run() {
        if (d_.starts_with("\xEF\xBB\xBF")) pos_ = 3;  // a byte-order mark
        while (true) {
            const size_t open = d_.find('<', pos_);
            if (!onlySpace(pos_, open == std::string_view::npos ? d_.size() : open)) return false;
            if (open == std::string_view::npos) break;
            pos_ = open;
            const std::string_view rest = d_.substr(pos_);
            if (rest.starts_with("<?")) {
                if (!skipPast("<?", "?>")) return false;
            } else if (rest.starts_with("<!--")) {
                if (!skipPast("<!--", "-->")) return false;
            } else if (rest.starts_with("<!DOCTYPE")) {
                if (!stack_.empty() || !skipDoctype()) return false;
            } else if (rest.starts_with("</")) {
                if (!close()) return false;
            } else if (!element()) {
                return false;
            }
        }
        return stack_.empty() && plistClosed_;
    }
    bool rootIsDictionary() const { return rootIsDictionary_; }

private:
    struct Open {
        std::string_view name;
    };

    bool onlySpace(size_t from, size_t to) const {
        for (size_t i = from; i < to; ++i) {
            if (!IsSpace(d_[i])) return false;
        }
        return true;
    }
    // Past the end marker of the construct at pos_ that opener begins.
    bool skipPast(std::string_view opener, std::string_view marker) {
        const size_t end = Find(d_, marker, pos_ + opener.size());
        if (end == std::string_view::npos) return false;
        pos_ = end + marker.size();
        return true;
    }
    // <!DOCTYPE ...> or <!DOCTYPE ... [ ... ]>, as libplist skips it.
    bool skipDoctype() {
        const size_t stop = d_.find_first_of("[>", pos_);
        if (stop == std::string_view::npos) return false;
        if (d_[stop] == '>') {
            pos_ = stop + 1;
            return true;
        }
        pos_ = stop;
        return skipPast("", "]>");
    }
    bool inRootDictionary() const {
        return stack_.size() == 2 && stack_[0].name == "plist" && stack_[1].name == "dict";
    }

    bool close() {
        const size_t end = d_.find('>', pos_);
        if (end == std::string_view::npos || stack_.empty()) return false;
        std::string_view name = d_.substr(pos_ + 2, end - pos_ - 2);
        while (!name.empty() && IsSpace(name.back())) name.remove_suffix(1);
        if (name != stack_.back().name) return false;
        if (inRootDictionary() && pendingKey_) return false;  // a key without a value
        if (name == "plist") {
            if (!rootSeen_) return false;
            plistClosed_ = true;
        }
        stack_.pop_back();
        pos_ = end + 1;
        return true;
    }

    bool element() {
        const size_t start = pos_;
        const size_t end = d_.find('>', pos_);
        if (end == std::string_view::npos) return false;
        const bool empty = d_[end - 1] == '/';
        size_t nameEnd = pos_ + 1;
        while (nameEnd < end && !IsSpace(d_[nameEnd]) && d_[nameEnd] != '/') ++nameEnd;
        const std::string_view name = d_.substr(pos_ + 1, nameEnd - pos_ - 1);
        pos_ = end + 1;
        const Element kind = Classify(name);
        if (kind == Element::kUnknown || ++elements_ > kMaximumPropertyListNodes) return false;
        if (static_cast<int>(stack_.size()) + 1 > kMaximumPropertyListDepth) return false;

        if (stack_.empty()) {
            if (name != "plist" || empty || plistClosed_) return false;
            stack_.push_back({name});
            return true;
        }
        if (name == "plist") return false;
        if (stack_.size() == 1) {  // the root object
            if (rootSeen_ || name == "key") return false;
            rootSeen_ = true;
            rootIsDictionary_ = name == "dict";
        }
        const bool entryLevel = inRootDictionary();
        if (entryLevel && (name == "key") == pendingKey_) return false;  // keys and values alternate

        std::string_view content;
        if (kind == Element::kText && !empty) {
            const size_t contentStart = pos_;
            if (!skipText(name)) return false;
            content = d_.substr(contentStart, closeStart_ - contentStart);
        } else if (!empty) {
            stack_.push_back({name});
        }
        const std::string_view span = d_.substr(start, pos_ - start);

        if (entryLevel) {
            if (name == "key") {
                pendingKey_ = true;
                keySpan_ = span;
                // Most keys are plain text: no copy to look at them.
                key_.reset();
                if (content.find_first_of("&<") == std::string_view::npos) {
                    if (selection_.wants(content)) key_ = std::string(content);
                } else if (std::optional<std::string> key = DecodeXmlText(content); key && selection_.wants(*key)) {
                    key_ = std::move(key);
                }
            } else {
                pendingKey_ = false;
                if (key_ && name == "string" && content.size() <= kMaximumPropertyListString) {
                    selection_.add(*key_, DecodeXmlText(content), {keySpan_, span});
                }
            }
        }
        return true;
    }

    // The content of a text element up to its end tag: text, character
    // references, CDATA sections and comments, no elements.
    bool skipText(std::string_view name) {
        while (true) {
            const size_t open = d_.find('<', pos_);
            if (open == std::string_view::npos) return false;
            pos_ = open;
            const std::string_view rest = d_.substr(pos_);
            if (rest.starts_with("<!--")) {
                if (!skipPast("<!--", "-->")) return false;
            } else if (rest.starts_with("<![CDATA[")) {
                if (!skipPast("<![CDATA[", "]]>")) return false;
            } else if (rest.starts_with("</") && rest.substr(2).starts_with(name)) {
                size_t at = pos_ + 2 + name.size();
                while (at < d_.size() && IsSpace(d_[at])) ++at;
                if (at >= d_.size() || d_[at] != '>') return false;
                closeStart_ = pos_;
                pos_ = at + 1;
                return true;
            } else {
                return false;
            }
        }
    }

    std::string_view d_;
    Selection& selection_;
    size_t pos_ = 0;
    size_t closeStart_ = 0;
    size_t elements_ = 0;
    std::vector<Open> stack_;
    bool plistClosed_ = false;
    bool rootSeen_ = false;
    bool rootIsDictionary_ = false;
    bool pendingKey_ = false;
    std::string_view keySpan_;
    std::optional<std::string> key_;
};

std::string ReducedXml(const std::vector<Entry>& entries) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>";
    for (const Entry& entry : entries) {
        xml.append(entry.key);
        xml.append(entry.value);
    }
    return xml + "</dict></plist>";
}

// --- Binary ----------------------------------------------------------------------------

constexpr std::string_view kBinaryMagic = "bplist00";
constexpr size_t kTrailerSize = 32;

uint64_t ReadBigEndian(std::string_view data, size_t at, unsigned size) {
    uint64_t value = 0;
    for (unsigned i = 0; i < size; ++i) value = (value << 8) | static_cast<unsigned char>(data[at + i]);
    return value;
}

// A binary property list as its trailer describes it; every offset and
// reference is checked against the file before it is followed.
class BinaryScan {
public:
    explicit BinaryScan(std::string_view data) : d_(data) {}

    struct Object {
        unsigned type = 0;    // the marker's high nibble
        uint64_t count = 0;   // length of a string, entries of a container
        size_t begin = 0;     // the marker
        size_t payload = 0;   // the characters, or the references
        size_t end = 0;       // past the payload (strings and containers)
    };
    static constexpr unsigned kArray = 0xA, kSet = 0xC, kDictionary = 0xD, kAscii = 0x5, kUtf16 = 0x6;

    bool readTrailer() {
        if (d_.size() < kBinaryMagic.size() + kTrailerSize + 1) return false;
        const size_t trailer = d_.size() - kTrailerSize;
        offsetSize_ = static_cast<unsigned char>(d_[trailer + 6]);
        refSize_ = static_cast<unsigned char>(d_[trailer + 7]);
        objects_ = ReadBigEndian(d_, trailer + 8, 8);
        top_ = ReadBigEndian(d_, trailer + 16, 8);
        table_ = ReadBigEndian(d_, trailer + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return false;
        if (objects_ == 0 || objects_ > d_.size() || top_ >= objects_) return false;
        if (table_ < kBinaryMagic.size() || table_ > trailer) return false;
        return objects_ * offsetSize_ <= trailer - table_;
    }

    std::optional<Object> object(uint64_t index) const {
        if (index >= objects_) return std::nullopt;
        const uint64_t begin = ReadBigEndian(d_, table_ + index * offsetSize_, offsetSize_);
        if (begin < kBinaryMagic.size() || begin >= table_) return std::nullopt;
        Object object;
        object.begin = begin;
        const unsigned char marker = static_cast<unsigned char>(d_[begin]);
        object.type = marker >> 4;
        object.count = marker & 0xF;
        size_t at = begin + 1;
        const bool sized = object.type == kAscii || object.type == kUtf16 || object.type == kArray ||
                           object.type == kSet || object.type == kDictionary;
        if (!sized) {
            object.payload = object.end = at;
            return object;
        }
        if (object.count == 0xF) {  // the length follows as an integer object
            if (at >= table_) return std::nullopt;
            const unsigned char lengthMarker = static_cast<unsigned char>(d_[at]);
            if ((lengthMarker >> 4) != 0x1 || (lengthMarker & 0xF) > 3) return std::nullopt;
            const unsigned size = 1u << (lengthMarker & 0xF);
            if (at + 1 + size > table_) return std::nullopt;
            object.count = ReadBigEndian(d_, at + 1, size);
            at += 1 + size;
        }
        uint64_t width = 1;
        if (object.type == kUtf16) width = 2;
        if (object.type == kArray || object.type == kSet) width = refSize_;
        if (object.type == kDictionary) width = 2ull * refSize_;
        if (object.count > (table_ - at) / width) return std::nullopt;
        object.payload = at;
        object.end = at + object.count * width;
        return object;
    }

    uint64_t reference(const Object& container, uint64_t index) const {
        return ReadBigEndian(d_, container.payload + index * refSize_, refSize_);
    }
    static bool IsContainer(const Object& object) {
        return object.type == kArray || object.type == kSet || object.type == kDictionary;
    }
    static uint64_t References(const Object& object) {
        return object.type == kDictionary ? 2 * object.count : object.count;
    }

    // Every object reachable from the top one lies in the file, no reference
    // leads back to a container being walked, and no path is deeper than the
    // limit. Each object is walked once; its height is remembered.
    bool checkGraph() const {
        enum : uint8_t { kNew, kOnPath, kDone };
        std::vector<uint8_t> state(objects_, kNew);
        std::vector<uint8_t> height(objects_, 0);
        struct Frame {
            uint64_t index;
            Object object;
            uint64_t next = 0;
            uint8_t tallest = 0;  // of the children walked so far
        };
        std::vector<Frame> path;
        path.reserve(kMaximumPropertyListDepth + 1);
        const std::optional<Object> top = object(top_);
        if (!top) return false;
        if (!IsContainer(*top)) return true;
        path.push_back({top_, *top});
        state[top_] = kOnPath;
        size_t followed = 0;
        while (!path.empty()) {
            Frame& frame = path.back();
            if (frame.next == References(frame.object)) {
                const uint8_t own = static_cast<uint8_t>(frame.tallest + 1);
                height[frame.index] = own;
                state[frame.index] = kDone;
                path.pop_back();
                if (!path.empty()) path.back().tallest = std::max(path.back().tallest, own);
                continue;
            }
            if (++followed > kMaximumPropertyListNodes) return false;
            const uint64_t child = reference(frame.object, frame.next++);
            if (child >= objects_ || state[child] == kOnPath) return false;
            if (state[child] == kNew) {
                const std::optional<Object> found = object(child);
                if (!found) return false;
                if (IsContainer(*found)) {
                    if (static_cast<int>(path.size()) + 1 > kMaximumPropertyListDepth) return false;
                    state[child] = kOnPath;
                    path.push_back({child, *found});
                    continue;
                }
                state[child] = kDone;
                height[child] = 1;
            }
            if (static_cast<int>(path.size()) + height[child] > kMaximumPropertyListDepth) return false;
            frame.tallest = std::max(frame.tallest, height[child]);
        }
        return true;
    }

    // The text of a string object (UTF-16 made UTF-8); nullopt for another
    // object, or a broken surrogate pair.
    std::optional<std::string> text(const Object& object) const {
        const std::string_view bytes = d_.substr(object.payload, object.end - object.payload);
        if (object.type == kAscii) return std::string(bytes);
        if (object.type != kUtf16) return std::nullopt;
        std::string out;
        for (size_t i = 0; i < bytes.size(); i += 2) {
            uint32_t unit = static_cast<uint32_t>(ReadBigEndian(bytes, i, 2));
            if (unit >= 0xD800 && unit < 0xDC00) {
                if (i + 4 > bytes.size()) return std::nullopt;
                const uint32_t low = static_cast<uint32_t>(ReadBigEndian(bytes, i + 2, 2));
                if (low < 0xDC00 || low >= 0xE000) return std::nullopt;
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            } else if (unit >= 0xDC00 && unit < 0xE000) {
                return std::nullopt;
            }
            AppendUtf8(out, unit);
        }
        return out;
    }

    // The root dictionary's entries for selection; false when the root is no
    // dictionary.
    bool select(Selection& selection) const {
        const std::optional<Object> root = object(top_);
        if (!root || root->type != kDictionary) return false;
        for (uint64_t i = 0; i < root->count; ++i) {
            const std::optional<Object> key = object(reference(*root, i));
            if (!key) continue;
            std::optional<std::string> keyText;
            if (key->type == kAscii) {
                const std::string_view ascii = d_.substr(key->payload, key->end - key->payload);
                if (selection.wants(ascii)) keyText = std::string(ascii);
            } else if (std::optional<std::string> decoded = text(*key); decoded && selection.wants(*decoded)) {
                keyText = std::move(decoded);
            }
            const std::optional<Object> value = keyText ? object(reference(*root, root->count + i)) : std::nullopt;
            if (!value || value->end - value->payload > kMaximumPropertyListString) continue;
            selection.add(*keyText, text(*value),
                          {d_.substr(key->begin, key->end - key->begin), d_.substr(value->begin, value->end - value->begin)});
        }
        return true;
    }

private:
    std::string_view d_;
    unsigned offsetSize_ = 0;
    unsigned refSize_ = 0;
    uint64_t objects_ = 0;
    uint64_t top_ = 0;
    uint64_t table_ = 0;
};

void AppendBigEndian(std::string& out, uint64_t value, unsigned size) {
    for (unsigned i = size; i-- > 0;) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A binary list of one dictionary holding the entries' objects as they are.
std::string ReducedBinary(const std::vector<Entry>& entries) {
    const uint64_t count = entries.size();
    std::string out(kBinaryMagic);
    std::vector<uint64_t> offsets{out.size()};
    if (count < 0xF) {
        out += static_cast<char>(0xD0 | count);
    } else {
        out += static_cast<char>(0xDF);
        out += static_cast<char>(0x12);
        AppendBigEndian(out, count, 4);
    }
    for (uint64_t i = 0; i < 2 * count; ++i) AppendBigEndian(out, 1 + i, 4);
    for (const Entry& entry : entries) {
        offsets.push_back(out.size());
        out.append(entry.key);
    }
    for (const Entry& entry : entries) {
        offsets.push_back(out.size());
        out.append(entry.value);
    }
    const uint64_t table = out.size();
    for (const uint64_t offset : offsets) AppendBigEndian(out, offset, 4);
    out.append(6, '\0');
    out += static_cast<char>(4);  // offset size
    out += static_cast<char>(4);  // reference size
    AppendBigEndian(out, offsets.size(), 8);
    AppendBigEndian(out, 0, 8);  // the top object
    AppendBigEndian(out, table, 8);
    return out;
}

// --- Reading with libplist ---------------------------------------------------------------

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

std::optional<InfoDictionary> Strings(const std::string& document, bool binary, const PlistKeys& keys) {
    plist_t raw = nullptr;
    if (binary) {
        plist_from_bin(document.data(), static_cast<uint32_t>(document.size()), &raw);
    } else {
        plist_from_xml(document.data(), static_cast<uint32_t>(document.size()), &raw);
    }
    const PlistPtr root(raw);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;

    std::map<std::string, std::string, std::less<>> strings;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(root.get(), &it);
    if (it == nullptr) return InfoDictionary(std::move(strings));
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(root.get(), it, &key, &value);
        if (key == nullptr) break;
        if (value != nullptr && plist_get_node_type(value) == PLIST_STRING && keys.wants(key)) {
            uint64_t length = 0;
            const char* text = plist_get_string_ptr(value, &length);
            // libplist keeps the length: a NUL inside would cut the text short
            // for anyone who reads it as a C string.
            if (text != nullptr && std::strlen(text) == length) {
                strings.emplace(key, std::string(text, static_cast<size_t>(length)));
            }
        }
        std::free(key);
    }
    std::free(it);
    return InfoDictionary(std::move(strings));
}

// --- Files -----------------------------------------------------------------------------

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~Descriptor() { reset(); }
    int get() const { return fd_; }

private:
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd_;
};

// The whole file, when it is a regular one of at most the cap.
std::optional<std::string> ReadCapped(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    if (st.st_size <= 0 || static_cast<uint64_t>(st.st_size) > kMaximumPropertyListSize) return std::nullopt;
    // One byte more than fstat said: a file that grew since is refused.
    std::string data(static_cast<size_t>(st.st_size) + 1, '\0');
    size_t filled = 0;
    while (filled < data.size()) {
        const ssize_t got = ::read(fd, data.data() + filled, data.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        filled += static_cast<size_t>(got);
    }
    if (filled == 0 || filled == data.size()) return std::nullopt;
    data.resize(filled);
    return data;
}

}  // namespace

std::optional<InfoDictionary> ParsePropertyList(std::string_view data, const PlistKeys& keys) {
    if (data.empty() || data.size() > kMaximumPropertyListSize) return std::nullopt;
    Selection selection(keys);
    const bool binary = data.starts_with(kBinaryMagic);
    if (binary) {
        BinaryScan scan(data);
        if (!scan.readTrailer() || !scan.checkGraph() || !scan.select(selection)) return std::nullopt;
    } else {
        XmlScan scan(data, selection);
        if (!scan.run() || !scan.rootIsDictionary()) return std::nullopt;
    }
    if (selection.entries.empty()) return InfoDictionary();
    return Strings(binary ? ReducedBinary(selection.entries) : ReducedXml(selection.entries), binary, keys);
}

PlistFile ReadPropertyList(const std::string& base, std::string_view inside, const PlistKeys& keys,
                           LinksInside links) {
    PlistFile file;
    std::vector<std::string> components;
    for (size_t at = 0; at < inside.size();) {
        const size_t slash = std::min(inside.find('/', at), inside.size());
        const std::string_view component = inside.substr(at, slash - at);
        if (component == "." || component == "..") return file;  // the file must lie below base
        if (!component.empty()) components.emplace_back(component);
        at = slash + 1;
    }
    if (base.empty() || components.empty()) return file;

    Descriptor folder(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0) return file;
    for (size_t i = 0; i < components.size(); ++i) {
        const bool last = i + 1 == components.size();
        const int noFollow = links == LinksInside::Refuse ? O_NOFOLLOW : 0;
        const int flags = O_RDONLY | noFollow | O_CLOEXEC | (last ? O_NONBLOCK | O_NOCTTY : O_DIRECTORY);
        Descriptor next(::openat(folder.get(), components[i].c_str(), flags));
        if (next.get() < 0) {
            // Something stands there that may not be read (a link where none
            // may be, or a file that cannot be opened); a plain file where a
            // folder belongs means the path leads nowhere.
            struct stat st;
            const int statFlags = links == LinksInside::Refuse ? AT_SYMLINK_NOFOLLOW : 0;
            file.found = ::fstatat(folder.get(), components[i].c_str(), &st, statFlags) == 0 &&
                         (last || !S_ISREG(st.st_mode));
            return file;
        }
        folder = std::move(next);
    }
    file.found = true;
    const std::optional<std::string> data = ReadCapped(folder.get());
    if (data) file.strings = ParsePropertyList(*data, keys);
    return file;
}

std::optional<InfoDictionary> ReadPropertyListFile(const std::string& path, const PlistKeys& keys) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ReadPropertyList(".", path, keys).strings;
    return ReadPropertyList(slash == 0 ? "/" : path.substr(0, slash), std::string_view(path).substr(slash + 1), keys)
        .strings;
}

}  // namespace platform
