#pragma once

#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace orvanta::model {

// The tree the SOAP engine makes of a response: a text per leaf element, a map per element with
// child elements (an empty element also arrives as an empty map), a list for an element repeated
// under the same parent (in document order), and the null marker for an element the server
// declared nil.
struct ResultNull {
    bool operator==(const ResultNull&) const = default;
};

struct ResultValue;
using ResultMap = std::map<std::string, ResultValue>;
using ResultList = std::vector<ResultValue>;

struct ResultValue {
    using Variant = std::variant<ResultNull, std::string, ResultMap, ResultList>;

    Variant value;

    // A default value is the null marker.
    ResultValue() = default;
    ResultValue(ResultNull) {}
    ResultValue(std::string text) : value(std::move(text)) {}
    ResultValue(const char* text) : value(std::string(text)) {}
    ResultValue(ResultMap map) : value(std::move(map)) {}
    ResultValue(ResultList list) : value(std::move(list)) {}

    bool isNull() const { return std::holds_alternative<ResultNull>(value); }
    bool isText() const { return std::holds_alternative<std::string>(value); }
    bool isMap() const { return std::holds_alternative<ResultMap>(value); }
    bool isList() const { return std::holds_alternative<ResultList>(value); }

    // Each throws std::bad_variant_access when the value is of another kind.
    const std::string& text() const { return std::get<std::string>(value); }
    std::string& text() { return std::get<std::string>(value); }
    const ResultMap& map() const { return std::get<ResultMap>(value); }
    ResultMap& map() { return std::get<ResultMap>(value); }
    const ResultList& list() const { return std::get<ResultList>(value); }
    ResultList& list() { return std::get<ResultList>(value); }

    // The entry under key when this is a map holding it; otherwise null.
    const ResultValue* find(const std::string& key) const {
        const auto* m = std::get_if<ResultMap>(&value);
        if (!m) return nullptr;
        auto it = m->find(key);
        return it == m->end() ? nullptr : &it->second;
    }

    bool operator==(const ResultValue& other) const { return value == other.value; }
};

}  // namespace orvanta::model
