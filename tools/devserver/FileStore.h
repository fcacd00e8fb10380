#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "core/Util.h"

namespace orvanta::devserver {

// The folder uploaded files are assembled in: <root>/<session>/<file name>. Names from the wire
// are checked so that nothing can be written or read outside the root.
class FileStore {
public:
    explicit FileStore(std::filesystem::path root);

    const std::filesystem::path& root() const { return root_; }

    // True for a name usable as one path component: not empty, not "." or "..", no "/" and no NUL.
    static bool isSafeComponent(const std::string& name);
    // True for a relative name made of safe components separated by single "/".
    static bool isSafeRelativePath(const std::string& name);

    // Where a session's file lives, or none when either name is unsafe.
    std::optional<std::filesystem::path> pathFor(const std::string& sessionID, const std::string& fileName) const;

    // Writes the bytes at the offset of an open file and adds them to the hash, a slice at a time
    // so that each slice is hashed and written while it is still in the cache. The file keeps any
    // bytes beyond them, and a gap before the offset reads as zeros. Throws std::system_error.
    static void writeHashed(int fd, uint64_t offset, std::span<const uint8_t> bytes, core::Md5& md5);

    // Size of the file, none when it does not exist.
    static std::optional<uint64_t> sizeOf(const std::filesystem::path& file);
    // Lower-case hex MD5 of the whole file, none when it cannot be read.
    static std::optional<std::string> md5Hex(const std::filesystem::path& file);

private:
    std::filesystem::path root_;
};

}  // namespace orvanta::devserver
