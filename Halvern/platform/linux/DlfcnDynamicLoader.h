#pragma once
// Shared libraries through dlopen(3), dlsym(3) and dlclose(3).
//
// As root, a library is loaded only from a path that no one but root can have
// written: the file, resolved through symbolic links, must be a regular file
// that the trust rule of RootTrust.h accepts (it and every folder above it owned
// by root and writable by no one else). Anything else counts as absent. This
// keeps a program that runs as root (package installation) from running code
// that another user could have put in place. Any other user's program loads
// the path as given, as the user could anyway.

#include <string>

#include "platform/DynamicLoader.h"

namespace platform {

class DlfcnDynamicLoader : public DynamicLoader {
public:
    std::optional<Handle> open(const std::string& path) override;
    void* symbol(Handle handle, const std::string& name) override;
    void close(Handle handle) override;
};

// The resolved path of the file at path when it is a regular file that the
// trust rule accepts; nullopt otherwise (also when something along the path
// cannot be examined).
std::optional<std::string> RootProtectedPath(const std::string& path);

}  // namespace platform
