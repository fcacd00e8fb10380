#include "capture/AggregateCaptureFactory.h"

namespace orvanta::capture {

void AggregateCaptureFactory::addScreenCaptureFactory(std::shared_ptr<ScreenCaptureFactory> factory) {
    if (factory) factories_.push_back(std::move(factory));
}

bool AggregateCaptureFactory::supportsScreenCapture() const {
    for (const auto& factory : factories_)
        if (factory->supportsScreenCapture()) return true;
    return false;
}

std::shared_ptr<ScreenCaptureHandler> AggregateCaptureFactory::createScreenCaptureHandler() {
    for (const auto& factory : factories_) {
        if (!factory->supportsScreenCapture()) continue;
        if (auto handler = factory->createScreenCaptureHandler()) return handler;
    }
    return nullptr;
}

}  // namespace orvanta::capture
