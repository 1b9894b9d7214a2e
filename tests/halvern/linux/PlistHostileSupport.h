#pragma once
// Property lists of shapes that no writer makes, for the limits of the reader:
// written by hand, without libplist.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace hostile {

// XML: a dictionary whose entry "Nested" holds arrays levels deep.
inline std::string NestedXml(size_t levels) {
    std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
                      "<string>com.veldane.Lumaro</string><key>Nested</key>";
    for (size_t i = 0; i < levels; ++i) xml += "<array>";
    for (size_t i = 0; i < levels; ++i) xml += "</array>";
    return xml + "</dict></plist>";
}

// XML: the identifier, then count more string entries.
inline std::string ManyKeysXml(size_t count) {
    std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
                      "<string>com.veldane.Lumaro</string>";
    for (size_t i = 0; i < count; ++i) xml += "<key>k" + std::to_string(i) + "</key><string>v</string>";
    return xml + "</dict></plist>";
}

// Binary: objects written by hand, four-byte references and offsets.
inline std::string BigEndian(uint64_t value, int size) {
    std::string out;
    for (int i = size - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}
inline std::string Count(unsigned type, uint64_t count) {
    if (count < 15) return std::string(1, static_cast<char>(type << 4 | count));
    return std::string(1, static_cast<char>(type << 4 | 0xF)) + "\x12" + BigEndian(count, 4);
}
inline std::string Ascii(const std::string& text) { return Count(0x5, text.size()) + text; }
inline std::string Array(const std::vector<uint32_t>& references) {
    std::string out = Count(0xA, references.size());
    for (uint32_t reference : references) out += BigEndian(reference, 4);
    return out;
}
inline std::string Dictionary(const std::vector<std::pair<uint32_t, uint32_t>>& entries) {
    std::string out = Count(0xD, entries.size());
    for (const auto& entry : entries) out += BigEndian(entry.first, 4);
    for (const auto& entry : entries) out += BigEndian(entry.second, 4);
    return out;
}
// The file of objects, object 0 at the top.
inline std::string BinaryFile(const std::vector<std::string>& objects) {
    std::string out = "bplist00";
    std::vector<uint64_t> offsets;
    for (const std::string& object : objects) {
        offsets.push_back(out.size());
        out += object;
    }
    const uint64_t table = out.size();
    for (uint64_t offset : offsets) out += BigEndian(offset, 4);
    return out + std::string(6, '\0') + "\x04\x04" + BigEndian(objects.size(), 8) + BigEndian(0, 8) +
           BigEndian(table, 8);
}

// Binary: {CFBundleIdentifier: identifier, Nested: levels of arrays}; with
// fanout 2 every array holds the next one twice (a graph that, copied out as a
// tree, has 2^levels arrays).
inline std::string NestedBinary(size_t levels, uint32_t fanout = 1, const std::string& identifier = "com.veldane.Lumaro") {
    std::vector<std::string> objects{Dictionary({{1, 2}, {3, 4}}), Ascii("CFBundleIdentifier"), Ascii(identifier),
                                     Ascii("Nested")};
    for (size_t i = 0; i < levels; ++i) {
        const uint32_t next = static_cast<uint32_t>(objects.size() + 1);
        objects.push_back(i + 1 == levels ? Array({}) : Array(std::vector<uint32_t>(fanout, next)));
    }
    return BinaryFile(objects);
}

// Binary: the identifier, then count more string entries sharing one key object.
inline std::string ManyKeysBinary(size_t count) {
    std::vector<std::pair<uint32_t, uint32_t>> entries{{1, 2}};
    for (size_t i = 0; i < count; ++i) entries.emplace_back(3, 3);
    return BinaryFile({Dictionary(entries), Ascii("CFBundleIdentifier"), Ascii("com.veldane.Lumaro"), Ascii("k")});
}

// Binary: {key: value}, either of which may hold a NUL.
inline std::string OneEntryBinary(const std::string& key, const std::string& value) {
    return BinaryFile({Dictionary({{1, 2}}), Ascii(key), Ascii(value)});
}

}  // namespace hostile
