#include "platform/linux/DlfcnDynamicLoader.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <memory>

namespace platform {

namespace {

bool OwnedByRootAndWritableByNoOneElse(const struct stat& st) {
    return st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

std::optional<std::string> RootProtectedPath(const std::string& path) {
    if (path.empty()) return std::nullopt;
    // Resolve every link first, then check what was resolved, and load that very
    // path: once the whole chain is root's alone, no one else can swap a part.
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    if (!resolved) return std::nullopt;
    const std::string file(resolved.get());

    struct stat st;
    if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !OwnedByRootAndWritableByNoOneElse(st)) {
        return std::nullopt;
    }
    std::string folder = file;
    while (folder != "/") {
        const size_t slash = folder.rfind('/');
        folder.resize(slash == 0 ? 1 : slash);
        if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || !OwnedByRootAndWritableByNoOneElse(st)) {
            return std::nullopt;
        }
    }
    return file;
}

std::optional<DynamicLoader::Handle> DlfcnDynamicLoader::open(const std::string& path) {
    const std::optional<std::string> trusted = RootProtectedPath(path);
    if (!trusted) return std::nullopt;
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
