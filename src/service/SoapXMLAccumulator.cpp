#include "service/SoapXMLAccumulator.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>

namespace orvanta::service {

SoapXMLAccumulator::SoapXMLAccumulator(std::string responseTag) : response_(std::move(responseTag)) {}

void SoapXMLAccumulator::startElement(std::string_view name) {
    ++depth_;
    std::string key;
    if (!value_ && name == response_) {
        stack_.emplace();
        value_.emplace();
        key = "response";
    } else if (stack_) {
        key.assign(name);
    }
    if (stack_) {
        ++elements_;
        stack_->push_back(Frame{std::nullopt, std::move(key), std::nullopt});
    }
}

void SoapXMLAccumulator::characters(std::string_view text) {
    if (!stack_ || stack_->empty()) return;
    auto& top = stack_->back();
    if (top.value)
        top.value->append(text);
    else
        top.value.emplace(text);
}

void SoapXMLAccumulator::endElement() {
    if (depth_ > 0) --depth_;
    if (!stack_ || stack_->empty()) return;

    Frame frame = std::move(stack_->back());
    stack_->pop_back();

    model::ResultValue content;
    if (frame.dict) {
        model::ResultMap map;
        for (auto& [name, list] : *frame.dict) {
            if (list.size() == 1)
                map.emplace(name, std::move(list.front()));
            else
                map.emplace(name, model::ResultValue(std::move(list)));
        }
        content = model::ResultValue(std::move(map));
    } else if (frame.value) {
        content = model::ResultValue(std::move(*frame.value));
    } else {
        content = model::ResultValue(model::ResultMap{});
    }

    if (stack_->empty()) {
        // The response element closed: accumulation is over for the rest of the document.
        stack_.reset();
        complete_ = true;
        (*value_)[frame.key] = std::move(content);
        return;
    }
    auto& parent = stack_->back();
    if (!parent.dict) parent.dict.emplace();
    (*parent.dict)[frame.key].push_back(std::move(content));
}

std::optional<model::ResultMap> SoapXMLAccumulator::Value() const {
    if (!complete_) return std::nullopt;
    return value_;
}

std::optional<model::ResultMap> SoapXMLAccumulator::takeValue() {
    if (!complete_) return std::nullopt;
    auto out = std::move(value_);
    value_.reset();
    complete_ = false;
    return out;
}

// ---- libxml2 driver ---------------------------------------------------------------------------

namespace {

struct ParserCtxtDeleter {
    void operator()(xmlParserCtxt* ctxt) const {
        // Entity declarations make libxml2 build a stand-in document even for a pure event parse; the
        // context does not own it.
        if (ctxt->myDoc) {
            xmlFreeDoc(ctxt->myDoc);
            ctxt->myDoc = nullptr;
        }
        xmlFreeParserCtxt(ctxt);
    }
};
using ParserCtxtPtr = std::unique_ptr<xmlParserCtxt, ParserCtxtDeleter>;

// Input is handed to the parser in slices, so it never holds a second copy of a large document.
constexpr size_t kSlice = 64 * 1024;

std::string_view textOf(const xmlChar* text) {
    return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

}  // namespace

struct AccumulatorParse {
    SoapXMLAccumulator* accumulator = nullptr;
    xmlParserCtxt* ctxt = nullptr;
    bool limitHit = false;
    std::string message;
    std::string name;  // scratch space for qualified names

    static AccumulatorParse& of(void* user) { return *static_cast<AccumulatorParse*>(user); }

    void stop(std::string why) {
        if (limitHit) return;
        limitHit = true;
        message = std::move(why);
        xmlStopParser(ctxt);
    }

    // The name as written in the document: "prefix:local" or "local".
    static std::string_view qualifiedName(std::string& buffer, const xmlChar* local, const xmlChar* prefix) {
        if (!prefix) return textOf(local);
        buffer.assign(textOf(prefix));
        buffer += ':';
        buffer.append(textOf(local));
        return buffer;
    }

    static void onStartElement(void* user, const xmlChar* local, const xmlChar* prefix, const xmlChar* /*uri*/,
                               int, const xmlChar**, int, int, const xmlChar**) {
        auto& self = of(user);
        if (self.limitHit) return;
        self.accumulator->startElement(qualifiedName(self.name, local, prefix));
        if (self.accumulator->depth() > SoapXMLAccumulator::kMaxDepth)
            self.stop("elements nested too deeply");
        else if (self.accumulator->elementCount() > SoapXMLAccumulator::kMaxElements)
            self.stop("too many elements");
    }

    static void onEndElement(void* user, const xmlChar*, const xmlChar*, const xmlChar*) {
        auto& self = of(user);
        if (self.limitHit) return;
        self.accumulator->endElement();
    }

    static void onCharacters(void* user, const xmlChar* text, int length) {
        auto& self = of(user);
        if (self.limitHit || length <= 0) return;
        self.accumulator->characters(std::string_view(reinterpret_cast<const char*>(text), size_t(length)));
    }

    static void onError(void* user, xmlErrorPtr error) {
        if (!error || error->level < XML_ERR_ERROR) return;
        auto& self = of(user);
        if (!self.message.empty()) return;  // the first error is the one that matters
        std::string text = error->message ? error->message : "unknown error";
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        self.message = "line " + std::to_string(error->line) + ": " + text;
    }
};

bool SoapXMLAccumulator::parse(std::string_view xml, std::string* message) {
    static std::once_flag initOnce;
    std::call_once(initOnce, [] { xmlInitParser(); });

    // Element, text and error events only. Names are compared as written (prefix:local); namespace
    // declarations and attributes play no part. No entity, DTD or external-subset handlers: a declared
    // entity is never expanded, an external one never fetched.
    xmlSAXHandler sax{};
    sax.initialized = XML_SAX2_MAGIC;
    sax.startElementNs = &AccumulatorParse::onStartElement;
    sax.endElementNs = &AccumulatorParse::onEndElement;
    sax.characters = &AccumulatorParse::onCharacters;
    sax.ignorableWhitespace = &AccumulatorParse::onCharacters;
    sax.cdataBlock = &AccumulatorParse::onCharacters;
    sax.serror = &AccumulatorParse::onError;

    AccumulatorParse session;
    session.accumulator = this;

    // The first bytes go in with the context so that the encoding is detected from them.
    const size_t head = std::min<size_t>(4, xml.size());
    ParserCtxtPtr ctxt(xmlCreatePushParserCtxt(&sax, &session, xml.data(), int(head), nullptr));
    if (!ctxt) {
        if (message) *message = "cannot create the XML parser";
        return false;
    }
    session.ctxt = ctxt.get();
    // Explicit options also override any process-wide parser defaults: no XML_PARSE_NOENT (entities stay
    // unexpanded), no XML_PARSE_DTDLOAD, no XML_PARSE_HUGE (libxml2 keeps its own size limits).
    xmlCtxtUseOptions(ctxt.get(), XML_PARSE_NONET | XML_PARSE_NOXINCNODE);

    size_t offset = head;
    bool ok = true;
    do {
        const size_t n = std::min(kSlice, xml.size() - offset);
        const bool last = offset + n == xml.size();
        if (xmlParseChunk(ctxt.get(), xml.data() + offset, int(n), last ? 1 : 0) != 0) ok = false;
        offset += n;
        if (session.limitHit || !ctxt->wellFormed) ok = false;
    } while (ok && offset < xml.size());

    if (ok && offset == xml.size() && !ctxt->wellFormed) ok = false;
    if (!ok && message) *message = session.message.empty() ? "XML document is not well-formed" : session.message;
    return ok;
}

}  // namespace orvanta::service
