#pragma once
// Loading a shared library at run time and calling into it.

#include <optional>
#include <string>

namespace platform {

class DynamicLoader {
public:
    using Handle = void*;
    virtual ~DynamicLoader() = default;

    // Loads the library at path with lazy binding. When the effective user is
    // root, only a library that no one but the superuser can have put there is
    // loaded: the file and every folder above it, links resolved, must be owned
    // by root and writable by no one else (a sticky folder passes as the parent
    // of root's entry); any other file counts as absent. nullopt when the
    // library is absent, untrusted, or cannot be loaded.
    virtual std::optional<Handle> open(const std::string& path) = 0;

    // The address of the symbol called name in the library, or nullptr.
    virtual void* symbol(Handle handle, const std::string& name) = 0;

    // Unloads a library that open() returned.
    virtual void close(Handle handle) = 0;
};

}  // namespace platform
