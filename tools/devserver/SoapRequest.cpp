#include "devserver/SoapRequest.h"

#include <memory>

#include "devserver/SoapWriter.h"
#include "service/ServiceConstants.h"

namespace orvanta::devserver {

namespace {

constexpr std::string_view kSoapEnvelopeNamespace = "http://schemas.xmlsoap.org/soap/envelope/";

struct XmlFree {
    void operator()(xmlChar* p) const { xmlFree(p); }
};
using XmlString = std::unique_ptr<xmlChar, XmlFree>;

std::string_view nameOf(const xmlNode* node) { return reinterpret_cast<const char*>(node->name); }

std::string_view namespaceOf(const xmlNode* node) {
    return node->ns && node->ns->href ? std::string_view(reinterpret_cast<const char*>(node->ns->href))
                                      : std::string_view();
}

std::string_view trimSlashes(std::string_view s) {
    while (!s.empty() && s.front() == '/') s.remove_prefix(1);
    while (!s.empty() && s.back() == '/') s.remove_suffix(1);
    return s;
}

}  // namespace

bool hasLocalName(const xmlNode* node, std::string_view localName) {
    return node && node->type == XML_ELEMENT_NODE && nameOf(node) == localName;
}

const xmlNode* firstChildElement(const xmlNode* parent, std::string_view localName) {
    if (!parent) return nullptr;
    for (const xmlNode* c = parent->children; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE && (localName.empty() || nameOf(c) == localName)) return c;
    return nullptr;
}

std::vector<const xmlNode*> childElements(const xmlNode* parent, std::string_view localName) {
    std::vector<const xmlNode*> out;
    if (!parent) return out;
    for (const xmlNode* c = parent->children; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE && (localName.empty() || nameOf(c) == localName)) out.push_back(c);
    return out;
}

std::string nodeText(const xmlNode* node) {
    if (!node) return {};
    XmlString content(xmlNodeGetContent(node));
    return content ? std::string(reinterpret_cast<const char*>(content.get())) : std::string();
}

std::optional<std::string> attribute(const xmlNode* node, const char* name) {
    if (!node) return std::nullopt;
    XmlString value(xmlGetProp(node, reinterpret_cast<const xmlChar*>(name)));
    if (!value) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(value.get()));
}

SoapCall SoapCall::parse(std::string_view envelope, std::string_view soapAction, std::string_view extension) {
    SoapCall call;
    call.doc_ = model::XmlDocument::parse(envelope);
    if (!call.doc_) throw SoapFault("the request is not well-formed XML");
    if (call.doc_.get()->intSubset || call.doc_.get()->extSubset)
        throw SoapFault("a SOAP message must not carry a document type declaration");

    const xmlNode* root = call.doc_.root();
    if (!hasLocalName(root, "Envelope") || namespaceOf(root) != kSoapEnvelopeNamespace)
        throw SoapFault("the document is not a SOAP 1.1 envelope");
    const xmlNode* body = nullptr;
    for (const xmlNode* c : childElements(root))
        if (hasLocalName(c, "Body") && namespaceOf(c) == kSoapEnvelopeNamespace) body = c;
    if (!body) throw SoapFault("the envelope has no soap:Body");
    call.methodNode_ = firstChildElement(body, {});
    if (!call.methodNode_) throw SoapFault("soap:Body holds no method element");
    call.method_ = std::string(nameOf(call.methodNode_));

    if (trimSlashes(namespaceOf(call.methodNode_)) != service::kServiceNamespace)
        throw SoapFault("method " + call.method_ + " is in namespace \"" +
                        std::string(namespaceOf(call.methodNode_)) + "\", not the service's");

    std::string_view action = soapAction;
    if (action.size() >= 2 && action.front() == '"' && action.back() == '"')
        action = action.substr(1, action.size() - 2);
    std::string expected = service::kServiceNamespace;
    if (!extension.empty()) {
        expected += '/';
        expected += extension;
    }
    expected += '/';
    expected += call.method_;
    if (action != expected)
        throw SoapFault("SOAPAction \"" + std::string(action) + "\" does not match method element " + call.method_ +
                        " (expected \"" + expected + "\")");
    return call;
}

const xmlNode* SoapCall::param(std::string_view name) const { return firstChildElement(methodNode_, name); }

std::optional<std::string> SoapCall::text(std::string_view name) const {
    const xmlNode* node = param(name);
    if (!node) return std::nullopt;
    return nodeText(node);
}

std::string SoapCall::requiredText(std::string_view name) const {
    auto value = text(name);
    if (!value) throw SoapFault(method_ + ": parameter " + std::string(name) + " is missing");
    return *value;
}

}  // namespace orvanta::devserver
