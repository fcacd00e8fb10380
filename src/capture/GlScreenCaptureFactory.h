#pragma once

#include "capture/ScreenCaptureFactory.h"
#include "capture/screen/GlScreenCapture.h"

namespace orvanta::capture {

// The factory of GlScreenCapture, the X11 back end: supported in X11 sessions.
class GlScreenCaptureFactory final : public ScreenCaptureFactory {
public:
    explicit GlScreenCaptureFactory(ScreenCaptureEnvironment environment = {});

    bool supportsScreenCapture() const override;
    std::shared_ptr<ScreenCaptureHandler> createScreenCaptureHandler() override;

private:
    ScreenCaptureEnvironment environment_;
};

}  // namespace orvanta::capture
