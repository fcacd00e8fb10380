#include "capture/GlScreenCaptureFactory.h"

#include "capture/DisplaySession.h"

namespace orvanta::capture {

GlScreenCaptureFactory::GlScreenCaptureFactory(ScreenCaptureEnvironment environment)
    : environment_(std::move(environment)) {}

bool GlScreenCaptureFactory::supportsScreenCapture() const { return currentDisplaySession() == DisplaySession::X11; }

std::shared_ptr<ScreenCaptureHandler> GlScreenCaptureFactory::createScreenCaptureHandler() {
    return std::make_shared<GlScreenCapture>(environment_);
}

}  // namespace orvanta::capture
