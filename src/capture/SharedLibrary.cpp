#include "capture/SharedLibrary.h"

#include <dlfcn.h>

namespace orvanta::capture {

std::shared_ptr<SharedLibrary> SharedLibrary::open(const std::string& path, std::string* error) {
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (!handle) {
        const char* text = dlerror();
        if (error) *error = text ? text : "unknown error";
        return nullptr;
    }
    return std::shared_ptr<SharedLibrary>(new SharedLibrary(handle, path));
}

SharedLibrary::~SharedLibrary() { dlclose(handle_); }

void* SharedLibrary::symbol(const char* name, std::string* error) const {
    dlerror();
    void* address = dlsym(handle_, name);
    if (!address) {
        const char* text = dlerror();
        if (error) *error = text ? text : std::string("symbol ") + name + " is null";
    }
    return address;
}

}  // namespace orvanta::capture
