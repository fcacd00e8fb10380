#include "model/ObjectMapping.h"

#include <charconv>
#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

namespace orvanta::model {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

size_t skipSpace(std::string_view s, size_t i) {
    while (i < s.size() && isSpace(s[i])) ++i;
    return i;
}

// The leading integer of the text, clamped to 32 bits; 0 when the text has none.
int64_t leadingInt32(std::string_view s) {
    size_t i = skipSpace(s, 0);
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    const int64_t limit = negative ? -int64_t{std::numeric_limits<int32_t>::min()} : std::numeric_limits<int32_t>::max();
    int64_t value = 0;
    for (; i < s.size() && isDigit(s[i]); ++i) {
        value = value * 10 + (s[i] - '0');
        if (value >= limit) {
            value = limit;
            break;
        }
    }
    return negative ? -value : value;
}

// The leading decimal number of the text (white space, sign, digits with an optional point and
// exponent); 0 when the text has none. Beyond the type's range: infinity, or 0 for tiny values.
template <typename F>
F leadingFloat(std::string_view s) {
    size_t i = skipSpace(s, 0);
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    const size_t start = i;

    // Decimal magnitude of the first significant digit, to tell overflow from underflow.
    long magnitude = 0;
    bool significant = false;
    size_t digits = 0;
    for (; i < s.size() && isDigit(s[i]); ++i, ++digits) {
        if (s[i] != '0') significant = true;
        if (significant) ++magnitude;
    }
    if (i < s.size() && s[i] == '.') {
        ++i;
        for (; i < s.size() && isDigit(s[i]); ++i, ++digits) {
            if (significant) continue;
            if (s[i] != '0')
                significant = true;
            else
                --magnitude;
        }
    }
    if (digits == 0) return 0;
    size_t end = i;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        size_t j = i + 1;
        bool expNegative = false;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) expNegative = s[j++] == '-';
        if (j < s.size() && isDigit(s[j])) {
            long exponent = 0;
            for (; j < s.size() && isDigit(s[j]); ++j)
                if (exponent < 100000) exponent = exponent * 10 + (s[j] - '0');
            magnitude += expNegative ? -exponent : exponent;
            end = j;
        }
    }

    F value = 0;
    auto [ptr, ec] = std::from_chars(s.data() + start, s.data() + end, value, std::chars_format::general);
    if (ec == std::errc::result_out_of_range)
        value = (significant && magnitude > 0) ? std::numeric_limits<F>::infinity() : F(0);
    else if (ec != std::errc())
        value = 0;
    return negative ? -value : value;
}

bool leadingBool(std::string_view s) {
    size_t i = skipSpace(s, 0);
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    while (i < s.size() && s[i] == '0') ++i;
    if (i >= s.size()) return false;
    const char c = s[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

// Reads `count` digits at s[i]; advances i.
std::optional<int> digitsAt(std::string_view s, size_t& i, size_t count) {
    if (i + count > s.size()) return std::nullopt;
    int v = 0;
    for (size_t k = 0; k < count; ++k) {
        if (!isDigit(s[i + k])) return std::nullopt;
        v = v * 10 + (s[i + k] - '0');
    }
    i += count;
    return v;
}

bool literalAt(std::string_view s, size_t& i, char c) {
    if (i >= s.size() || s[i] != c) return false;
    ++i;
    return true;
}

// "YYYY-MM-DD HH:MM:SS +HHMM"; surrounding white space is allowed.
std::optional<Date> parseDate(std::string_view s) {
    using namespace std::chrono;
    size_t i = skipSpace(s, 0);
    auto y = digitsAt(s, i, 4);
    if (!y || !literalAt(s, i, '-')) return std::nullopt;
    auto mo = digitsAt(s, i, 2);
    if (!mo || !literalAt(s, i, '-')) return std::nullopt;
    auto d = digitsAt(s, i, 2);
    if (!d || !literalAt(s, i, ' ')) return std::nullopt;
    auto h = digitsAt(s, i, 2);
    if (!h || !literalAt(s, i, ':')) return std::nullopt;
    auto mi = digitsAt(s, i, 2);
    if (!mi || !literalAt(s, i, ':')) return std::nullopt;
    auto sec = digitsAt(s, i, 2);
    if (!sec || !literalAt(s, i, ' ')) return std::nullopt;
    if (i >= s.size() || (s[i] != '+' && s[i] != '-')) return std::nullopt;
    const bool west = s[i++] == '-';
    auto zh = digitsAt(s, i, 2);
    auto zm = zh ? digitsAt(s, i, 2) : std::nullopt;
    if (!zm || skipSpace(s, i) != s.size()) return std::nullopt;

    const year_month_day ymd{year{*y}, month{static_cast<unsigned>(*mo)}, day{static_cast<unsigned>(*d)}};
    if (!ymd.ok() || *h > 23 || *mi > 59 || *sec > 59 || *zh > 23 || *zm > 59) return std::nullopt;
    const seconds zone = hours{*zh} + minutes{*zm};
    const sys_seconds local = sys_days{ymd} + hours{*h} + minutes{*mi} + seconds{*sec};
    const sys_seconds utc = west ? local + zone : local - zone;

    // The clock's range is narrower than four-digit years.
    const auto lo = time_point_cast<seconds>(system_clock::time_point::min()) + seconds{1};
    const auto hi = time_point_cast<seconds>(system_clock::time_point::max()) - seconds{1};
    if (utc < lo || utc > hi) return std::nullopt;
    return time_point_cast<system_clock::duration>(utc);
}

// The text of an entry for the number, boolean and date types: an empty element reads as the
// empty text; anything else that is not a text reads as missing.
std::optional<std::string_view> scalarText(const ResultValue* entry) {
    if (!entry) return std::nullopt;
    if (entry->isText()) return std::string_view(entry->text());
    if (entry->isMap() && entry->map().empty()) return std::string_view();
    return std::nullopt;
}

ObjectPtr buildObject(const EntityDescription& entity, const ResultMap& values) {
    ObjectPtr object = makeObjectForEntity(entity);
    setValuesFromDictionary(*object, values);
    return object;
}

}  // namespace

Value convertAttribute(AttributeType type, const ResultValue* entry) {
    switch (type) {
        case AttributeType::Integer32: {
            auto text = scalarText(entry);
            return text ? leadingInt32(*text) : int64_t{0};
        }
        case AttributeType::Double: {
            auto text = scalarText(entry);
            return text ? leadingFloat<double>(*text) : 0.0;
        }
        case AttributeType::Float: {
            auto text = scalarText(entry);
            return text ? static_cast<double>(leadingFloat<float>(*text)) : 0.0;
        }
        case AttributeType::Boolean: {
            auto text = scalarText(entry);
            return text ? leadingBool(*text) : false;
        }
        case AttributeType::String: {
            if (!entry || entry->isNull() || entry->isList()) return {};
            if (entry->isText()) return entry->text();
            if (entry->map().empty()) return std::string();
            return {};
        }
        case AttributeType::Date: {
            auto text = scalarText(entry);
            if (!text) return {};
            if (auto date = parseDate(*text)) return *date;
            return {};
        }
        case AttributeType::Integer16:
        case AttributeType::Integer64:
        case AttributeType::Decimal:
        case AttributeType::Binary:
        case AttributeType::Transformable:
            return {};
    }
    return {};
}

void setValuesFromDictionary(ManagedObject& object, const ResultMap& values) {
    const EntityDescription& entity = object.entity();
    const ObjectModel& model = ObjectModel::current();
    for (const auto& property : entity.properties()) {
        if (property.kind == PropertyDescription::Kind::Attribute) {
            const auto& attribute = entity.attributes()[property.index];
            auto it = values.find(attribute.name);
            object.setValueForKey(attribute.name,
                                  convertAttribute(attribute.type, it == values.end() ? nullptr : &it->second));
            continue;
        }
        const auto& relationship = entity.relationships()[property.index];
        auto it = values.find(relationship.name);
        const ResultValue* entry = it == values.end() ? nullptr : &it->second;
        if (entry && entry->isNull()) continue;
        const EntityDescription& destination = model.entity(relationship.destinationEntity);
        if (relationship.toMany) {
            const ResultValue* inner = entry ? entry->find(destination.name()) : nullptr;
            if (!inner) continue;
            if (inner->isMap()) {
                object.addToMany(relationship.name, buildObject(destination, inner->map()));
            } else if (inner->isList()) {
                for (const auto& element : inner->list())
                    if (element.isMap()) object.addToMany(relationship.name, buildObject(destination, element.map()));
            }
        } else {
            static const ResultMap kNoValues;
            const ResultMap& source = entry && entry->isMap() ? entry->map() : kNoValues;
            object.setToOne(relationship.name, buildObject(destination, source));
        }
    }
}

ObjectPtr objectForEntity(const std::string& entityName, const ResultMap& values) {
    return buildObject(ObjectModel::current().entity(entityName), values);
}

std::vector<ObjectPtr> objectsFromResponse(const std::string& entityName, const ResultValue& response) {
    std::vector<ObjectPtr> objects;
    const ResultValue* entry = response.find(entityName);
    if (!entry) return objects;
    const EntityDescription& entity = ObjectModel::current().entity(entityName);
    if (entry->isMap()) {
        objects.push_back(buildObject(entity, entry->map()));
    } else if (entry->isList()) {
        objects.reserve(entry->list().size());
        for (const auto& element : entry->list())
            if (element.isMap()) objects.push_back(buildObject(entity, element.map()));
    }
    return objects;
}

}  // namespace orvanta::model
