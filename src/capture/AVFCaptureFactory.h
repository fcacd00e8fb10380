#pragma once

#include <memory>
#include <string>
#include <vector>

#include "capture/CaptureExtras.h"
#include "capture/ScreenCaptureFactory.h"

namespace orvanta::capture {

class SharedLibrary;

// The factory of the add-on library's screen capture (libCaptureExtras.so, for Wayland sessions).
// The library is loaded when the factory is made, and only in a Wayland session; without it, or
// without its makeAVScreenCapture, the factory yields no handler. Each handler keeps the library
// loaded for as long as it lives, also after the factory is gone.
class AVFCaptureFactory final : public ScreenCaptureFactory {
public:
    // Looks for the library next to the running program, then on the library search path.
    AVFCaptureFactory();
    // Tries these paths in order (a bare file name goes through the library search path).
    explicit AVFCaptureFactory(const std::vector<std::string>& libraryCandidates);
    ~AVFCaptureFactory() override;

    bool supportsScreenCapture() const override;  // a Wayland session
    std::shared_ptr<ScreenCaptureHandler> createScreenCaptureHandler() override;

    // Whether makeAVScreenCapture was found.
    bool hasMaker() const { return maker_ != nullptr; }
    // Where the default search looks, in order.
    static std::vector<std::string> defaultLibraryCandidates();

private:
    void loadLibrary(const std::vector<std::string>& candidates);

    std::shared_ptr<SharedLibrary> library_;
    MakeAVScreenCaptureFunction maker_ = nullptr;
};

}  // namespace orvanta::capture
