#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <libxml/tree.h>

#include "model/XmlDocument.h"

namespace orvanta::devserver {

// One SOAP 1.1 call as the server received it: the method element under soap:Body and its
// parameter elements, found by local name.
class SoapCall {
public:
    // Parses the envelope. `soapAction` is the SOAPAction header as sent (quotes allowed) and
    // `extension` the endpoint's namespace extension ("" for the recorder service); the action
    // must be the service namespace, the extension if any and the method name joined by "/".
    // Throws SoapFault when the text is not well-formed, carries a document type declaration, is
    // not a SOAP 1.1 envelope with a method element, names another namespace, or disagrees with
    // the action.
    static SoapCall parse(std::string_view envelope, std::string_view soapAction, std::string_view extension);

    const std::string& method() const { return method_; }

    // The parameter element of that name, or none.
    const xmlNode* param(std::string_view name) const;
    // Its text content (an empty element gives ""), or none when the element is missing.
    std::optional<std::string> text(std::string_view name) const;
    // Its text content; throws SoapFault naming the parameter when it is missing.
    std::string requiredText(std::string_view name) const;

private:
    model::XmlDocument doc_;
    const xmlNode* methodNode_ = nullptr;
    std::string method_;
};

// Element helpers shared by the operations.
const xmlNode* firstChildElement(const xmlNode* parent, std::string_view localName);
std::vector<const xmlNode*> childElements(const xmlNode* parent, std::string_view localName = {});
std::string nodeText(const xmlNode* node);
std::optional<std::string> attribute(const xmlNode* node, const char* name);
bool hasLocalName(const xmlNode* node, std::string_view localName);

}  // namespace orvanta::devserver
