#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/ServiceResult.h"

namespace orvanta::service {

// One open element inside the response element.
struct Frame {
    // Child element name -> the contents of the children of that name, in document order; absent until
    // the first child ends.
    std::optional<std::map<std::string, model::ResultList>> dict;
    // The element's name ("response" for the response element itself).
    std::string key;
    // The element's text, joined from all its pieces; absent until text is seen.
    std::optional<std::string> value;
};

// Turns a response document into a result tree, event by event. Accumulation starts at the first element
// named like the response tag (method name + "Response"; names compared as written, prefix included) and
// ends when that element closes:
//  - an element occurring once under its parent becomes a single value, two or more become a list in
//    document order;
//  - a leaf becomes its text (white space kept), an empty element an empty map;
//  - the text of an element that has child elements is dropped;
//  - the result is always {"response": content of the response element}.
// Attributes are ignored.
class SoapXMLAccumulator {
public:
    // Hostile input cannot nest deeper than this (whole document) or make more elements than that
    // (inside the response element); either makes parse() fail.
    static constexpr size_t kMaxDepth = 256;
    static constexpr size_t kMaxElements = 1'000'000;

    explicit SoapXMLAccumulator(std::string responseTag);

    // Parser events.
    void startElement(std::string_view name);
    void characters(std::string_view text);
    void endElement();

    // The result map once the response element has been closed; nothing before that (no response
    // element, or the document ended inside it).
    std::optional<model::ResultMap> Value() const;
    // The same, moved out.
    std::optional<model::ResultMap> takeValue();

    // Runs the document through libxml2's event parser (no entity substitution, no DTD loading, no
    // network access). False when the document is not well-formed or hits a limit above; message then
    // holds the parser's reason. A failure after the response element has been closed (trailing junk)
    // still leaves Value() in place.
    bool parse(std::string_view xml, std::string* message = nullptr);

    size_t depth() const { return depth_; }
    size_t elementCount() const { return elements_; }

private:
    friend struct AccumulatorParse;

    std::string response_;
    std::optional<model::ResultMap> value_;
    std::optional<std::vector<Frame>> stack_;
    bool complete_ = false;
    size_t depth_ = 0;
    size_t elements_ = 0;
};

}  // namespace orvanta::service
