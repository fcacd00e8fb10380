#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace orvanta::service {

// A GUID parameter: written as a typed <guid> element rather than as plain text.
struct Guid {
    std::string theGuid = "00000000-0000-0000-0000-000000000000";

    bool operator==(const Guid&) const = default;
};

struct SoapValue;
using SoapList = std::vector<SoapValue>;
// Ordered: a map parameter's child elements are written in this order.
using SoapMap = std::vector<std::pair<std::string, SoapValue>>;
// Raw bytes; a call carrying one is sent as an MTOM message with the bytes as its attachment.
using SoapBinary = std::vector<uint8_t>;

// One parameter value of a SOAP call (see escapeObject for how each kind is written).
struct SoapValue {
    using Variant = std::variant<std::string, int32_t, double, Guid, SoapBinary, SoapList, SoapMap>;

    Variant value;

    // A default value is the empty string.
    SoapValue() = default;
    SoapValue(std::string text) : value(std::move(text)) {}
    SoapValue(const char* text) : value(std::string(text)) {}
    SoapValue(Guid guid) : value(std::move(guid)) {}
    SoapValue(SoapBinary bytes) : value(std::move(bytes)) {}
    SoapValue(SoapList list) : value(std::move(list)) {}
    SoapValue(SoapMap map) : value(std::move(map)) {}
    SoapValue(int32_t number) : value(number) {}
    SoapValue(double number) : value(number) {}

    bool isBinary() const { return std::holds_alternative<SoapBinary>(value); }

    bool operator==(const SoapValue&) const = default;
};

}  // namespace orvanta::service
