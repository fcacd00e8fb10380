// Feeds arbitrary bytes to the response parser as the body of a "M" call.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "service/SoapXMLAccumulator.h"

namespace {

size_t depthOf(const orvanta::model::ResultValue& value) {
    size_t deepest = 0;
    if (value.isMap())
        for (const auto& [key, child] : value.map()) deepest = std::max(deepest, depthOf(child));
    else if (value.isList())
        for (const auto& child : value.list()) deepest = std::max(deepest, depthOf(child));
    return deepest + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    orvanta::service::SoapXMLAccumulator accumulator("MResponse");
    std::string message;
    const bool ok = accumulator.parse(std::string_view(reinterpret_cast<const char*>(data), size), &message);
    if (!ok && message.empty()) abort();  // a failure always says why
    if (auto value = accumulator.Value()) {
        // The top level is always exactly {"response": ...}, and no deeper than the nesting limit allows.
        if (value->size() != 1 || value->count("response") != 1) abort();
        if (depthOf(value->at("response")) > orvanta::service::SoapXMLAccumulator::kMaxDepth + 1) abort();
    }
    return 0;
}
