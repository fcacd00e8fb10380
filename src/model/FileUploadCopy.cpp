// Copying one file of a recording into the folder of a copy of that recording.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "core/Log.h"
#include "core/Util.h"
#include "model/FileUpload.h"
#include "model/ManagedObjectContext.h"
#include "model/RecordingCopy.h"
#include "model/RecordingHost.h"
#include "model/Stream.h"

namespace orvanta::model {

namespace fs = std::filesystem;

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t pos; (pos = text.find(separator, start)) != std::string::npos; start = pos + 1)
        parts.push_back(text.substr(start, pos - start));
    parts.push_back(text.substr(start));
    return parts;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

// A Guid used as a file or folder name must stay one name.
bool usableName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// What a failing copy made on disk, removed again unless the copy succeeds.
class Rollback {
public:
    Rollback() = default;
    Rollback(const Rollback&) = delete;
    Rollback& operator=(const Rollback&) = delete;
    ~Rollback() {
        if (done_) return;
        std::error_code ec;
        for (auto it = made_.rbegin(); it != made_.rend(); ++it) fs::remove_all(*it, ec);
    }
    void add(fs::path path) { made_.push_back(std::move(path)); }
    void dismiss() { done_ = true; }

private:
    std::vector<fs::path> made_;
    bool done_ = false;
};

// Creates the folder with missing parents; remembers it for the rollback when it is new.
bool makeFolder(const fs::path& folder, Rollback& rollback, std::error_code& ec) {
    ec.clear();
    if (fs::is_directory(folder, ec)) return true;
    // Remember the topmost folder that does not exist yet, so a rollback removes all that was made.
    fs::path topmost = folder;
    for (fs::path p = folder.parent_path(); !p.empty() && p != p.root_path() && !fs::exists(p, ec);
         p = p.parent_path())
        topmost = p;
    if (!fs::create_directories(folder, ec) && ec) return false;
    rollback.add(topmost);
    return true;
}

}  // namespace

std::shared_ptr<FileUpload> FileUpload::cloneWithNewRecordingGuid(const std::string& newRecordingGuid,
                                                                  const std::string& newStreamGuid) const {
    auto* ctx = context();
    if (!ctx) throw std::invalid_argument("This FileUpload object is not in a store");
    auto local = localPath();
    if (!local || local->empty()) throw std::invalid_argument("No localpath for this FileUpload object");
    auto remote = remotePath();
    if (!remote || remote->empty()) throw std::invalid_argument("No remotepath for this FileUpload object");
    if (!usableName(newRecordingGuid) || !usableName(newStreamGuid))
        throw std::invalid_argument("Invalid Guid for a copy of a FileUpload object");

    Rollback rollback;
    const std::string& G = newStreamGuid;
    std::string recordingFolder = ctx->host() ? ctx->host()->recordingDirectory() : std::string();
    fs::path folder = fs::path(recordingFolder) / newRecordingGuid;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(folder, ec))) {
        if (!makeFolder(folder, rollback, ec)) {
            core::logf("Failed to create folder at %s because %s", folder.c_str(), ec.message().c_str());
            throw RecordingCopyException("FailedToCreateFolder", "Unable to create folder at " + folder.string() +
                                                                     " because " + ec.message());
        }
    } else if (!fs::is_directory(folder, ec)) {
        throw RecordingCopyException("FolderExpected",
                                     "Expected folder at " + folder.string() + " found a file instead.");
    }

    // The kind of file is told by the extension of its name (not of the folders above it).
    std::string sourceName = fs::path(*local).filename().string();
    auto parts = split(sourceName, '.');
    std::string extension = parts.size() > 1 ? lower(parts.back()) : std::string();

    std::optional<fs::path> newLocal;
    std::optional<std::string> newRemote;
    bool copyFile = true;
    if (extension == "mov") {
        // "<stream Guid>.<tag>.mov"; a movie named otherwise takes the tag of its stream.
        std::string tag = parts.size() > 2 ? parts[parts.size() - 2] : std::string();
        if (auto s = stream(); tag.empty() && s) tag = s->Tag().value_or("");
        if (!tag.empty()) {
            std::string name = G + "." + upper(tag) + ".mov";
            newLocal = folder / name;
            newRemote = name;
        }
    } else if (extension == "ppt" || extension == "pptx") {
        newLocal = folder / (G + "." + extension);
        newRemote = G + "_ET/" + G + "." + extension;
    } else if (extension == "zip") {
        fs::path documentFolder = folder / G;
        if (makeFolder(documentFolder, rollback, ec)) {
            // The archive sits next to the document it was made from: "<name>.key" and "<name>.key.zip".
            fs::path document = local->substr(0, local->size() - 4);
            fs::path copied = documentFolder / (G + ".key");
            fs::copy(document, copied, fs::copy_options::recursive, ec);
            if (ec) {
                rollback.add(copied);
                throw RecordingCopyException("Failed to copy folder", "couldn't copy file from " + document.string() +
                                                                          " to " + copied.string());
            }
            rollback.add(copied);
            fs::path archive = documentFolder / (G + ".key.zip");
            rollback.add(archive);
            if (!core::createZipArchive(archive, documentFolder, {"-r", G + ".key"}))
                throw RecordingCopyException("FileCopyFailure", "Failed to archive " + copied.string());
            newLocal = archive;
            newRemote = G + "_ET/" + G + ".key";
        }
        copyFile = false;
    } else if (extension == "jpg") {
        fs::path imageFolder = folder / G;
        if (makeFolder(imageFolder, rollback, ec)) {
            newLocal = imageFolder / sourceName;
            newRemote = G + "_ET/images/" + fs::path(*remote).filename().string();
        }
    } else {
        throw RecordingCopyException("FileCopyFailure", "");
    }
    if (!newLocal || !newRemote) throw RecordingCopyException("FileCopyFailure", "");

    if (copyFile) {
        // Never overwrite (or later remove) a file that was there before.
        if (fs::exists(fs::symlink_status(*newLocal, ec))) {
            ec = std::make_error_code(std::errc::file_exists);
        } else {
            rollback.add(*newLocal);
            fs::copy_file(*local, *newLocal, ec);
        }
        if (ec) {
            std::string message = "Failed to copy file " + *local + " to " + newLocal->string() + " because " +
                                  ec.message();
            core::logf("%s", message.c_str());
            throw RecordingCopyException("FileCopyFailure", message);
        }
    }

    auto copy = ctx->insert<FileUpload>("FileUpload");
    copy->setValueForKey("localPath", newLocal->string());
    copy->setValueForKey("remotePath", *newRemote);
    copy->setValueForKey("destination", valueForKey("destination"));
    rollback.dismiss();
    return copy;
}

}  // namespace orvanta::model
