#pragma once
// Property lists for the tests, written as the tools of the platform write them.

#include <plist/plist.h>

#include <cstdlib>
#include <map>
#include <string>

// An XML property list whose root is a dictionary of strings.
inline std::string XmlPlist(const std::map<std::string, std::string>& strings) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n<dict>\n";
    for (const auto& [key, value] : strings) xml += "\t<key>" + key + "</key>\n\t<string>" + value + "</string>\n";
    return xml + "</dict>\n</plist>\n";
}

// The same dictionary as a binary property list, made with libplist.
inline std::string BinaryPlist(const std::map<std::string, std::string>& strings) {
    plist_t root = plist_new_dict();
    for (const auto& [key, value] : strings) plist_dict_set_item(root, key.c_str(), plist_new_string(value.c_str()));
    char* data = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &data, &length);
    std::string binary(data, length);
    plist_to_bin_free(data);
    plist_free(root);
    return binary;
}

