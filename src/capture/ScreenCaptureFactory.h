#pragma once

#include <memory>

#include "capture/ScreenCaptureHandler.h"

namespace orvanta::capture {

// Makes screen capture handlers for one back end.
class ScreenCaptureFactory {
public:
    virtual ~ScreenCaptureFactory() = default;

    // Whether this back end can capture the screen in the running session.
    virtual bool supportsScreenCapture() const = 0;
    // A new handler, or null. The caller shares ownership of it.
    virtual std::shared_ptr<ScreenCaptureHandler> createScreenCaptureHandler() = 0;
};

}  // namespace orvanta::capture
