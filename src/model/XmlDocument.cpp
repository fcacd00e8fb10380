#include "model/XmlDocument.h"

#include <climits>

#include <libxml/parser.h>
#include <libxml/xmlmemory.h>

namespace orvanta::model {

namespace {
struct XmlCharDeleter {
    void operator()(xmlChar* p) const { xmlFree(p); }
};
}  // namespace

XmlDocument XmlDocument::parse(std::string_view text) {
    if (text.size() > static_cast<size_t>(INT_MAX)) return {};
    XmlDocHandle doc(xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                                   XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    return XmlDocument(std::move(doc));
}

std::string XmlDocument::toString() const {
    if (!doc_) return {};
    xmlChar* raw = nullptr;
    int size = 0;
    xmlDocDumpFormatMemoryEnc(doc_.get(), &raw, &size, "UTF-8", 0);
    std::unique_ptr<xmlChar, XmlCharDeleter> mem(raw);
    if (!mem || size <= 0) return {};
    return std::string(reinterpret_cast<const char*>(mem.get()), static_cast<size_t>(size));
}

}  // namespace orvanta::model
