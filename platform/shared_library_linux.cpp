#include "platform/shared_library.h"

#include <dlfcn.h>

namespace corvid {

namespace {

std::string lastReason() {
    const char* reason = dlerror();
    return reason != nullptr ? reason : "no reason given";
}

}  // namespace

SharedLibrary::SharedLibrary(const std::string& fileName) : fileName_(fileName) {
    handle_ = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        throw SharedLibraryError(fileName + " cannot be loaded (" + lastReason() + ")");
    }
}

void* SharedLibrary::address(const char* name) const {
    dlerror();  // a null symbol is told from a missing one by the error alone
    void* found = dlsym(handle_, name);
    if (found == nullptr) {
        throw SharedLibraryError(fileName_ + " has no " + name + " (" + lastReason() + ")");
    }
    return found;
}

}  // namespace corvid
