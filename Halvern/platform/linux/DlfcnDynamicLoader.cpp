#include "platform/linux/DlfcnDynamicLoader.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include "platform/linux/RootTrust.h"

namespace platform {

std::optional<std::string> RootProtectedPath(const std::string& path) {
    // Resolve every link while judging it, then load that very path: once the
    // whole chain is root's alone, no one else can swap a part of it.
    const RootTrust trust = CheckRootTrust(path);
    if (!trust.status.ok() || !S_ISREG(trust.mode)) return std::nullopt;
    return trust.resolved;
}

std::optional<DynamicLoader::Handle> DlfcnDynamicLoader::open(const std::string& path) {
    const std::optional<std::string> trusted = EffectiveUserIsRoot() ? RootProtectedPath(path) : path;
    if (!trusted || trusted->empty()) return std::nullopt;
    void* handle = ::dlopen(trusted->c_str(), RTLD_LAZY);
    if (handle == nullptr) return std::nullopt;
    return handle;
}

void* DlfcnDynamicLoader::symbol(Handle handle, const std::string& name) {
    ::dlerror();
    return ::dlsym(handle, name.c_str());
}

void DlfcnDynamicLoader::close(Handle handle) { ::dlclose(handle); }

}  // namespace platform
