#include "devserver/SoapWriter.h"

#include "service/ServiceConstants.h"

namespace orvanta::devserver {

namespace {

constexpr std::string_view kEnvelopeStart =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\""
    " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
    " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"><soap:Body>";
constexpr std::string_view kEnvelopeEnd = "</soap:Body></soap:Envelope>";

std::string responseElementStart(std::string_view method) {
    std::string out(kEnvelopeStart);
    out += '<';
    out += method;
    out += "Response xmlns=\"";
    out += service::kServiceNamespaceWithSlash;
    out += "\">";
    return out;
}

}  // namespace

std::string escapeText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '\r': out += "&#13;"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') break;
                out += c;
        }
    }
    return out;
}

XmlWriter& XmlWriter::open(std::string_view name) {
    out_ += '<';
    out_ += name;
    out_ += '>';
    return *this;
}

XmlWriter& XmlWriter::close(std::string_view name) {
    out_ += "</";
    out_ += name;
    out_ += '>';
    return *this;
}

XmlWriter& XmlWriter::leaf(std::string_view name, std::string_view text) {
    if (text.empty()) return empty(name);
    open(name);
    out_ += escapeText(text);
    return close(name);
}

XmlWriter& XmlWriter::empty(std::string_view name) {
    out_ += '<';
    out_ += name;
    out_ += " />";
    return *this;
}

XmlWriter& XmlWriter::element(std::string_view name, const std::function<void(XmlWriter&)>& body) {
    open(name);
    body(*this);
    return close(name);
}

XmlWriter& XmlWriter::characters(std::string_view text) {
    out_ += escapeText(text);
    return *this;
}

std::string soapResponse(std::string_view method, const std::function<void(XmlWriter&)>& result) {
    XmlWriter content;
    if (result) result(content);
    std::string out = responseElementStart(method);
    std::string resultName = std::string(method) + "Result";
    if (content.str().empty()) {
        out += '<' + resultName + " />";
    } else {
        out += '<' + resultName + '>';
        out += content.str();
        out += "</" + resultName + '>';
    }
    out += "</";
    out += method;
    out += "Response>";
    out += kEnvelopeEnd;
    return out;
}

std::string soapEmptyResponse(std::string_view method) {
    std::string out(kEnvelopeStart);
    out += '<';
    out += method;
    out += "Response xmlns=\"";
    out += service::kServiceNamespaceWithSlash;
    out += "\" />";
    out += kEnvelopeEnd;
    return out;
}

std::string soapFault(const SoapFault& fault) {
    std::string out(kEnvelopeStart);
    XmlWriter w;
    w.element("soap:Fault", [&](XmlWriter& f) {
        f.leaf("faultcode", fault.clientFault() ? "soap:Client" : "soap:Server");
        f.leaf("faultstring", fault.what());
        f.empty("detail");
    });
    out += w.str();
    out += kEnvelopeEnd;
    return out;
}

}  // namespace orvanta::devserver
