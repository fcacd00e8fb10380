#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <libxml/tree.h>

namespace orvanta::model {

struct XmlDocDeleter {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XmlDocHandle = std::unique_ptr<xmlDoc, XmlDocDeleter>;

// Owns one libxml2 document.
class XmlDocument {
public:
    XmlDocument() = default;
    explicit XmlDocument(XmlDocHandle doc) : doc_(std::move(doc)) {}

    // Parses a complete document without touching the network; an empty document when the text is
    // not well-formed.
    static XmlDocument parse(std::string_view text);

    bool isNull() const { return !doc_; }
    explicit operator bool() const { return static_cast<bool>(doc_); }
    xmlDoc* get() const { return doc_.get(); }
    xmlNode* root() const { return doc_ ? xmlDocGetRootElement(doc_.get()) : nullptr; }

    // The document as UTF-8 text with its XML declaration, without added indentation. Empty for an
    // empty document.
    std::string toString() const;

private:
    XmlDocHandle doc_;
};

}  // namespace orvanta::model
