#include "service/SoapEnvelope.h"

#include <algorithm>
#include <charconv>
#include <span>

#include "core/Log.h"
#include "core/Util.h"

namespace orvanta::service {

std::string escapeCharacters(std::string_view text) { return core::escapeXmlText(text); }

namespace {

std::string escapeNumber(int32_t number) { return "<int>" + std::to_string(number) + "</int>"; }

std::string escapeNumber(double number) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, number);
    if (ec != std::errc()) return "<double>" + std::to_string(number) + "</double>";
    return std::string(buffer, end);
}

std::string escapeGuid(const Guid& guid) {
    return "<guid xsi:type=\"s1:guid\">" + escapeCharacters(guid.theGuid) + "</guid>";
}

void trimSlashInto(std::string& out, std::string_view text) {
    size_t begin = text.find_first_not_of('/');
    if (begin == std::string_view::npos) return;
    size_t end = text.find_last_not_of('/');
    out.append(text.substr(begin, end - begin + 1));
}

}  // namespace

std::string escapeArray(const SoapList& list) {
    std::string out;
    for (const auto& item : list) out += escapeObject(item);
    return out;
}

std::string escapeDictionary(const SoapMap& map) {
    std::string out;
    for (const auto& [key, item] : map) {
        out += '<';
        out += key;
        out += '>';
        out += escapeObject(item);
        out += "</";
        out += key;
        out += '>';
    }
    return out;
}

std::string escapeObject(const SoapValue& value) {
    struct Visitor {
        std::string operator()(const std::string& text) const { return escapeCharacters(text); }
        std::string operator()(int32_t number) const { return escapeNumber(number); }
        std::string operator()(double number) const { return escapeNumber(number); }
        std::string operator()(const Guid& guid) const { return escapeGuid(guid); }
        std::string operator()(const SoapBinary& bytes) const {
            return core::encodeBase64(std::span<const uint8_t>(bytes.data(), bytes.size()));
        }
        std::string operator()(const SoapList& list) const { return escapeArray(list); }
        std::string operator()(const SoapMap& map) const { return escapeDictionary(map); }
    };
    return std::visit(Visitor{}, value.value);
}

std::string trimSlash(std::string_view text) {
    std::string out;
    trimSlashInto(out, text);
    return out;
}

std::string combineNamespace(std::string_view ns, std::string_view extension, std::string_view action) {
    std::string out;
    trimSlashInto(out, ns);
    if (!extension.empty()) {
        out += '/';
        trimSlashInto(out, extension);
    }
    out += '/';
    if (!action.empty()) trimSlashInto(out, action);
    return out;
}

std::string createSOAPBodyFromMethod(const std::string& method, const std::string& ns,
                                     [[maybe_unused]] const std::string& extension,
                                     const std::vector<std::string>* names, const std::vector<SoapValue>* values,
                                     int bufferIndex) {
    std::string parameters;
    if (names && values && !values->empty()) {
        if (names->size() < values->size())
            core::logf("%s %zu values but only %zu names for %s; unnamed values are left out", ORV_FUNC,
                       values->size(), names->size(), method.c_str());
        const size_t count = std::min(names->size(), values->size());
        for (size_t i = 0; i < count; ++i) {
            const std::string& name = (*names)[i];
            const SoapValue& value = (*values)[i];
            const std::string* raw = std::get_if<std::string>(&value.value);
            parameters += '<';
            parameters += name;
            parameters += '>';
            if (static_cast<long>(i) == bufferIndex && raw)
                parameters += *raw;
            else
                parameters += escapeObject(value);
            parameters += "</";
            parameters += name;
            parameters += '>';
        }
    }

    std::string out;
    out.reserve(parameters.size() + 2 * method.size() + 2 * ns.size() + 320);
    out += "<?xml version=\"1.0\" encoding=\"utf-8\"?>";
    out += "<soap:Envelope xmlns:xsi=\"";
    out += kXMLSchemaInstanceNamespace;
    out += "\" xmlns:xsd=\"";
    out += kXMLSchemaNamespace;
    out += "\" xmlns:soap=\"";
    out += kSoapEnvelopeNamespace;
    out += "\" xmlns=\"";
    out += escapeCharacters(ns);
    out += "\"><soap:Body><";
    out += method;
    out += " xmlns=\"";
    out += escapeCharacters(combineNamespace(ns, "", ""));
    out += "\">";
    out += parameters;
    out += "</";
    out += method;
    out += "></soap:Body></soap:Envelope>";
    return out;
}

}  // namespace orvanta::service
