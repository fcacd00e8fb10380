#pragma once

#include <memory>
#include <vector>

#include "capture/ScreenCaptureFactory.h"

namespace orvanta::capture {

// Asks several factories in turn: the first one that supports screen capture and yields a handler
// wins.
class AggregateCaptureFactory final : public ScreenCaptureFactory {
public:
    // Appends a factory; null is ignored.
    void addScreenCaptureFactory(std::shared_ptr<ScreenCaptureFactory> factory);

    // True when at least one member supports it (false without members).
    bool supportsScreenCapture() const override;
    // Members in the order they were added; those that do not support screen capture are skipped.
    std::shared_ptr<ScreenCaptureHandler> createScreenCaptureHandler() override;

private:
    std::vector<std::shared_ptr<ScreenCaptureFactory>> factories_;
};

}  // namespace orvanta::capture
