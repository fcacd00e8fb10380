#include "model/ObjectMapping.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

// Recording.h and Stream.h need the complete classes of what they hold.
#include "model/FileUpload.h"
#include "model/Segment.h"
#include "model/Stream.h"
#include "model/Recording.h"
#include "model/SimpleSessionGroup.h"
#include "support/ModelFixture.h"

namespace orvanta::model {
namespace {

using namespace std::chrono;
using test::utc;

constexpr const char* kGroupGuid = "3F2504E0-4F89-11D3-9A0C-0305E82C3301";

ResultMap session(const std::string& publicID, const std::string& longName) {
    return {{"publicID", publicID}, {"longName", longName}, {"sessionGroupPublicID", kGroupGuid}};
}

std::vector<std::string> longNames(const std::vector<ObjectPtr>& objects) {
    std::vector<std::string> out;
    for (const auto& o : objects) out.push_back(o->stringValue("longName").value_or("<absent>"));
    return out;
}

TEST(MappingTest, SessionGroupFromItsElements) {
    auto group = objectForEntity("SimpleSessionGroup", {{"ID", "12"},
                                                        {"publicID", kGroupGuid},
                                                        {"longName", "Physics 101"},
                                                        {"isActive", "true"},
                                                        {"notInTheModel", "ignored"}});
    ASSERT_NE(std::dynamic_pointer_cast<SimpleSessionGroup>(group), nullptr);
    EXPECT_EQ(group->valueForKey("ID"), Value(int64_t{12}));
    EXPECT_EQ(group->stringValue("publicID"), kGroupGuid);
    EXPECT_EQ(group->stringValue("longName"), "Physics 101");
    EXPECT_EQ(group->valueForKey("isActive"), Value(true));
    EXPECT_TRUE(isAbsent(group->valueForKey("shortName")));
    EXPECT_TRUE(group->toMany("sessions").empty());
    EXPECT_EQ(group->context(), nullptr);
}

TEST(MappingTest, MissingKeysStillSetNumbersAndBooleans) {
    // Every declared attribute is written: numbers and booleans to their zero value, not left absent.
    auto s = objectForEntity("SimpleSession", {});
    EXPECT_EQ(s->valueForKey("ID"), Value(int64_t{0}));
    EXPECT_EQ(s->valueForKey("duration"), Value(0.0));
    EXPECT_TRUE(isAbsent(s->valueForKey("publicID")));
    EXPECT_TRUE(isAbsent(s->valueForKey("startTime")));

    auto g = objectForEntity("SimpleSessionGroup", {});
    EXPECT_EQ(g->valueForKey("isActive"), Value(false));
}

TEST(MappingTest, SessionsOfAGroup) {
    struct Case {
        const char* name;
        ResultMap values;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"one element arrives as a map",
         {{"sessions", ResultMap{{"SimpleSession", session("S-1", "Lecture 1")}}}},
         {"Lecture 1"}},
        {"repeated elements arrive as a list, kept in order",
         {{"sessions", ResultMap{{"SimpleSession", ResultList{session("S-2", "Week 2"), session("S-1", "Week 1"),
                                                              session("S-3", "Week 3")}}}}},
         {"Week 2", "Week 1", "Week 3"}},
        {"list elements that are not elements with children are skipped",
         {{"sessions", ResultMap{{"SimpleSession", ResultList{session("S-1", "Only"), ResultValue("stray")}}}}},
         {"Only"}},
        {"empty sessions element", {{"sessions", ResultMap{}}}, {}},
        {"sessions element holding something else", {{"sessions", ResultMap{{"Other", session("S", "x")}}}}, {}},
        {"sessions as plain text", {{"sessions", ""}}, {}},
        {"no sessions element", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto group = std::dynamic_pointer_cast<SimpleSessionGroup>(objectForEntity("SimpleSessionGroup", c.values));
        ASSERT_NE(group, nullptr);
        EXPECT_EQ(longNames(group->toMany("sessions")), c.expected);
        for (const auto& s : group->toMany("sessions")) {
            EXPECT_EQ(s->entity().name(), "SimpleSession");
            EXPECT_EQ(s->context(), nullptr);
            EXPECT_EQ(s->stringValue("sessionGroupPublicID"), kGroupGuid);
        }
    }
}

TEST(MappingTest, NestedDeliveriesOfASession) {
    ResultMap values = session("S-1", "Lecture");
    values["deliveries"] = ResultMap{{"Delivery", ResultList{ResultMap{{"Identifier", "podcast"},
                                                                       {"Status", "Completed"},
                                                                       {"Url", "http://host/p.mp4"}},
                                                             ResultMap{{"Identifier", "web"}, {"Status", "Processing"}}}}};
    auto s = objectForEntity("SimpleSession", values);
    const auto& deliveries = s->toMany("deliveries");
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[0]->stringValue("Identifier"), "podcast");
    EXPECT_EQ(deliveries[0]->stringValue("Url"), "http://host/p.mp4");
    EXPECT_EQ(deliveries[1]->stringValue("Status"), "Processing");
    EXPECT_TRUE(isAbsent(deliveries[1]->valueForKey("Url")));
}

TEST(MappingTest, NullMarkerLeavesARelationshipAsItIs) {
    auto group = objectForEntity("SimpleSessionGroup",
                                 {{"sessions", ResultMap{{"SimpleSession", session("S-1", "Kept")}}}});
    setValuesFromDictionary(*group, {{"longName", "Renamed"}, {"sessions", ResultNull{}}});
    EXPECT_EQ(group->stringValue("longName"), "Renamed");
    EXPECT_EQ(longNames(group->toMany("sessions")), std::vector<std::string>{"Kept"});

    // Filling again adds to the set rather than replacing it.
    setValuesFromDictionary(*group, {{"sessions", ResultMap{{"SimpleSession", session("S-2", "Added")}}}});
    EXPECT_EQ(longNames(group->toMany("sessions")), (std::vector<std::string>{"Kept", "Added"}));
}

TEST(MappingTest, AttributesOfOtherTypesAreAlwaysAbsent) {
    const ResultValue number("12345678901");
    for (auto type : {AttributeType::Integer16, AttributeType::Integer64, AttributeType::Decimal, AttributeType::Binary,
                      AttributeType::Transformable}) {
        SCOPED_TRACE(static_cast<int>(type));
        EXPECT_TRUE(isAbsent(convertAttribute(type, &number)));
        EXPECT_TRUE(isAbsent(convertAttribute(type, nullptr)));
    }
}

TEST(MappingTest, BooleanText) {
    const std::vector<std::pair<ResultValue, bool>> cases = {
        {"true", true},  {"True", true},   {"YES", true},   {"yes", true},   {"1", true},     {"7", true},
        {" \t+007", true}, {"-1", true},   {"000t", true},  {"y", true},     {"false", false}, {"NO", false},
        {"no", false},   {"0", false},     {"000", false},  {"0x1", false},  {"", false},     {"  ", false},
        {"+", false},    {"on", false},    {" - 1", false}, {ResultMap{}, false},
        {ResultList{ResultValue("1")}, false}, {ResultNull{}, false}};
    for (const auto& [entry, expected] : cases) {
        SCOPED_TRACE(entry.isText() ? "'" + entry.text() + "'" : "not text");
        EXPECT_EQ(convertAttribute(AttributeType::Boolean, &entry), Value(expected));
    }
    EXPECT_EQ(convertAttribute(AttributeType::Boolean, nullptr), Value(false));
}

TEST(MappingTest, IntegerText) {
    const std::vector<std::pair<ResultValue, int64_t>> cases = {
        {"12", 12},
        {"  -42abc", -42},
        {"+7", 7},
        {"\n\t 0009", 9},
        {"3.9", 3},
        {"1 2", 1},
        {"abc", 0},
        {"", 0},
        {"- 5", 0},
        {"2147483647", 2147483647},
        {"99999999999", 2147483647},
        {"-2147483648", -2147483648LL},
        {"-99999999999999999999999", -2147483648LL},
        {ResultMap{}, 0},
        {ResultList{ResultValue("5")}, 0}};
    for (const auto& [entry, expected] : cases) {
        SCOPED_TRACE(entry.isText() ? "'" + entry.text() + "'" : "not text");
        EXPECT_EQ(convertAttribute(AttributeType::Integer32, &entry), Value(expected));
    }
    EXPECT_EQ(convertAttribute(AttributeType::Integer32, nullptr), Value(int64_t{0}));
}

TEST(MappingTest, FloatingPointText) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<std::string, double>> cases = {
        {"3.25", 3.25}, {" -1.5e3x", -1500}, {".5", 0.5},   {"5.", 5},        {"+2E-2", 0.02},
        {"1e", 1},      {"1e+", 1},          {"abc", 0},    {"", 0},          {".", 0},
        {"-", 0},       {"1e999", inf},      {"-1e999", -inf}, {"1e-999", 0}, {"0.000e99999", 0},
        {"inf", 0},     {"0x10", 0}};
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE("'" + text + "'");
        const ResultValue entry(text);
        EXPECT_EQ(convertAttribute(AttributeType::Double, &entry), Value(expected));
    }
    const ResultValue tenth("0.1");
    EXPECT_EQ(convertAttribute(AttributeType::Float, &tenth), Value(static_cast<double>(0.1f)));
    const ResultValue huge("1e300");
    EXPECT_EQ(convertAttribute(AttributeType::Float, &huge), Value(static_cast<double>(std::numeric_limits<float>::infinity())));
    EXPECT_EQ(convertAttribute(AttributeType::Double, nullptr), Value(0.0));
    EXPECT_EQ(convertAttribute(AttributeType::Float, nullptr), Value(0.0));
}

TEST(MappingTest, StringEntries) {
    const std::vector<std::pair<ResultValue, Value>> cases = {
        {"Lecture & <Notes>", Value(std::string("Lecture & <Notes>"))},
        {"", Value(std::string())},
        {ResultMap{}, Value(std::string())},  // an empty element
        {ResultMap{{"child", "x"}}, Value()},
        {ResultList{ResultValue("a"), ResultValue("b")}, Value()},
        {ResultNull{}, Value()}};
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(convertAttribute(AttributeType::String, &cases[i].first), cases[i].second);
    }
    EXPECT_EQ(convertAttribute(AttributeType::String, nullptr), Value());
}

TEST(MappingTest, DateText) {
    const std::vector<std::pair<std::string, Value>> cases = {
        {"2011-03-04 17:05:09 +0000", utc(2011, 3, 4, 17, 5, 9)},
        {"2011-03-04 17:05:09 +0100", utc(2011, 3, 4, 16, 5, 9)},
        {"2011-03-04 01:05:09 -0230", utc(2011, 3, 4, 3, 35, 9)},
        {"2012-02-29 23:59:59 +0000", utc(2012, 2, 29, 23, 59, 59)},
        {"2011-12-31 23:30:00 -0100", utc(2012, 1, 1, 0, 30, 0)},
        {" 2011-03-04 17:05:09 +0000 ", utc(2011, 3, 4, 17, 5, 9)},
        {"2011-03-04T17:05:09 +0000", Value()},
        {"2011-03-04 17:05:09", Value()},
        {"2011-03-04 17:05:09 0000", Value()},
        {"2011-03-04 17:05:09 +00", Value()},
        {"2011-03-04 17:05:09 +0000 trailing", Value()},
        {"2011-02-29 00:00:00 +0000", Value()},
        {"2011-13-01 00:00:00 +0000", Value()},
        {"2011-03-04 24:00:00 +0000", Value()},
        {"2011-3-4 17:05:09 +0000", Value()},
        {"9999-12-31 23:59:59 +0000", Value()},  // beyond what the clock holds
        {"", Value()}};
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE("'" + text + "'");
        const ResultValue entry(text);
        EXPECT_EQ(convertAttribute(AttributeType::Date, &entry), expected);
    }
    const ResultValue empty{ResultMap{}};
    EXPECT_EQ(convertAttribute(AttributeType::Date, &empty), Value());
    EXPECT_EQ(convertAttribute(AttributeType::Date, nullptr), Value());
}

TEST(MappingTest, ObjectsFromAResponse) {
    const ResultValue list{ResultMap{{"SimpleSession", ResultList{session("A", "First"), session("B", "Second")}}}};
    EXPECT_EQ(longNames(objectsFromResponse("SimpleSession", list)), (std::vector<std::string>{"First", "Second"}));

    const ResultValue single{ResultMap{{"SimpleSession", session("A", "Only")}}};
    EXPECT_EQ(longNames(objectsFromResponse("SimpleSession", single)), std::vector<std::string>{"Only"});

    for (const ResultValue& nothing :
         {ResultValue(ResultNull{}), ResultValue("text"), ResultValue(ResultMap{}),
          ResultValue(ResultMap{{"SimpleSessionGroup", ResultMap{}}}), ResultValue(ResultMap{{"SimpleSession", "x"}}),
          ResultValue(ResultList{ResultValue(ResultMap{{"SimpleSession", session("A", "x")}})})})
        EXPECT_TRUE(objectsFromResponse("SimpleSession", nothing).empty());

    auto groups = objectsFromResponse(
        "SimpleSessionGroup", ResultMap{{"SimpleSessionGroup", ResultList{ResultMap{{"ID", "1"}}, ResultMap{{"ID", "2"}}}}});
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_NE(std::dynamic_pointer_cast<SimpleSessionGroup>(groups[1]), nullptr);
    EXPECT_EQ(groups[1]->integerValue("ID"), 2);
}

TEST(MappingTest, UnknownEntityIsAnError) {
    EXPECT_THROW(objectForEntity("NoSuchEntity", {}), std::out_of_range);
}

TEST(MappingTest, DetachedObjectsAreNeverStored) {
    test::TestStore store;
    auto group = objectForEntity("SimpleSessionGroup",
                                 {{"ID", "12"}, {"sessions", ResultMap{{"SimpleSession", session("S", "L")}}}});
    // Even an object of a stored entity stays out of the store when it is built from a result.
    auto recording = objectForEntity("Recording", {{"Guid", "D1A0C3E8-0000-4000-8000-000000000009"}, {"State", "5"}});
    ASSERT_NE(std::dynamic_pointer_cast<Recording>(recording), nullptr);
    EXPECT_EQ(recording->context(), nullptr);
    EXPECT_EQ(recording->integerValue("State"), 5);

    EXPECT_TRUE(store.context->objects("Recording").empty());
    EXPECT_FALSE(store.context->hasChanges());
    store.host.saveManagedObjects();
    EXPECT_FALSE(store.host.lastSaveError.has_value());
    store.reopen();
    EXPECT_TRUE(store.context->objects("Recording").empty());
    EXPECT_EQ(recording->objectID(), 0);
}

}  // namespace
}  // namespace orvanta::model
