#include "capture/AVFCaptureFactory.h"

#include <exception>
#include <filesystem>

#include "capture/DisplaySession.h"
#include "capture/SharedLibrary.h"
#include "core/Log.h"

namespace orvanta::capture {

AVFCaptureFactory::AVFCaptureFactory() : AVFCaptureFactory(defaultLibraryCandidates()) {}

AVFCaptureFactory::AVFCaptureFactory(const std::vector<std::string>& libraryCandidates) {
    loadLibrary(libraryCandidates);
}

AVFCaptureFactory::~AVFCaptureFactory() = default;

std::vector<std::string> AVFCaptureFactory::defaultLibraryCandidates() {
    std::vector<std::string> candidates;
    std::error_code ec;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) candidates.push_back((program.parent_path() / kCaptureExtrasLibraryName).string());
    candidates.push_back(kCaptureExtrasLibraryName);
    return candidates;
}

void AVFCaptureFactory::loadLibrary(const std::vector<std::string>& candidates) {
    if (!supportsScreenCapture()) {
        core::logf("Not a Wayland session: the CaptureExtras library is not loaded");
        return;
    }
    std::string error = "no place to look for the library";
    for (std::size_t i = 0; i < candidates.size() && !library_; ++i) {
        const std::string& candidate = candidates[i];
        const bool isPath = candidate.find('/') != std::string::npos;
        std::error_code ec;
        // A path that does not exist is passed over, unless it is the last place to look, so that
        // the loader's text says why the library was not found.
        if (isPath && !std::filesystem::exists(candidate, ec) && i + 1 < candidates.size()) continue;
        core::logf("Loading the CaptureExtras library from %s", candidate.c_str());
        library_ = SharedLibrary::open(candidate, &error);
    }
    if (!library_) {
        core::logf("Could not load captureextras.  Error: %s", error.c_str());
        return;
    }
    maker_ = reinterpret_cast<MakeAVScreenCaptureFunction>(library_->symbol(kMakeAVScreenCaptureSymbol, &error));
    if (!maker_) core::logf("Could not load makeAVScreenCapture.  Error: %s", error.c_str());
}

bool AVFCaptureFactory::supportsScreenCapture() const { return currentDisplaySession() == DisplaySession::Wayland; }

std::shared_ptr<ScreenCaptureHandler> AVFCaptureFactory::createScreenCaptureHandler() {
    if (!maker_) return nullptr;
    ScreenCaptureHandler* handler = nullptr;
    try {
        handler = maker_();
    } catch (const std::exception& e) {
        core::logf("makeAVScreenCapture failed: %s", e.what());
    } catch (...) {
        core::logf("makeAVScreenCapture failed");
    }
    if (!handler) return nullptr;
    // The handler is destroyed by the library's own code, which must still be loaded then.
    return std::shared_ptr<ScreenCaptureHandler>(handler, [library = library_](ScreenCaptureHandler* h) { delete h; });
}

}  // namespace orvanta::capture
