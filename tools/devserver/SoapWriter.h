#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace orvanta::devserver {

// A request the server refuses: answered with HTTP `status` and a SOAP fault whose faultcode is
// "soap:Client" (the request is wrong) or "soap:Server" (the server failed).
class SoapFault : public std::runtime_error {
public:
    SoapFault(std::string message, bool clientFault = true, int status = 500)
        : std::runtime_error(std::move(message)), clientFault_(clientFault), status_(status) {}
    bool clientFault() const { return clientFault_; }
    int status() const { return status_; }

private:
    bool clientFault_;
    int status_;
};

// Text made safe for element content: & < > escaped, and characters XML cannot carry (control
// characters other than tab, line feed and carriage return) dropped. A carriage return is written
// as a character reference so that it survives the reader's line-end handling.
std::string escapeText(std::string_view text);

// Writes element markup into a string. Element names are the server's own constants and are not
// checked; every text goes through escapeText.
class XmlWriter {
public:
    XmlWriter& open(std::string_view name);
    XmlWriter& close(std::string_view name);
    XmlWriter& leaf(std::string_view name, std::string_view text);
    XmlWriter& boolean(std::string_view name, bool value) { return leaf(name, value ? "true" : "false"); }
    XmlWriter& empty(std::string_view name);
    // Opens `name`, lets `body` write the children, closes it.
    XmlWriter& element(std::string_view name, const std::function<void(XmlWriter&)>& body);
    // Character content at the current place.
    XmlWriter& characters(std::string_view text);

    const std::string& str() const { return out_; }

private:
    std::string out_;
};

// The answer envelope for `method`: <{method}Response xmlns="<namespace>/"> holding
// <{method}Result> with what `result` writes (an empty result element when it writes nothing).
std::string soapResponse(std::string_view method, const std::function<void(XmlWriter&)>& result);

// The answer envelope for `method` whose response element has no result element at all.
std::string soapEmptyResponse(std::string_view method);

// A SOAP 1.1 fault envelope.
std::string soapFault(const SoapFault& fault);

inline constexpr const char* kXmlContentType = "text/xml; charset=utf-8";

}  // namespace orvanta::devserver
