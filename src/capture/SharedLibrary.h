#pragma once

#include <memory>
#include <string>

namespace orvanta::capture {

// A dynamic library loaded with dlopen (lazy symbol binding, symbols kept local), unloaded when
// the last owner lets go.
class SharedLibrary {
public:
    // A path, or a bare file name looked up on the library search path. Null, with *error set to
    // the loader's text, when it does not load.
    static std::shared_ptr<SharedLibrary> open(const std::string& path, std::string* error);
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // The address of an exported symbol; null, with *error set to the loader's text, when missing.
    void* symbol(const char* name, std::string* error) const;
    const std::string& path() const { return path_; }

private:
    SharedLibrary(void* handle, std::string path) : handle_(handle), path_(std::move(path)) {}

    void* handle_;
    std::string path_;
};

}  // namespace orvanta::capture
