#include <gtest/gtest.h>

#include <chrono>

#include "core/Error.h"
#include "service/SimpleSoapCaller.h"
#include "service/SoapXMLAccumulator.h"
#include "support/LogCapture.h"

namespace orvanta::service {
namespace {

using model::ResultList;
using model::ResultMap;
using model::ResultNull;
using model::ResultValue;

std::string inEnvelope(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
           "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><soap:Body>" +
           body + "</soap:Body></soap:Envelope>";
}

std::variant<ResultMap, core::Error> outcome(const std::string& method, const std::string& xml,
                                             const std::optional<std::string>& boundary = std::nullopt) {
    return SimpleSoapCaller::resultFromResponse(method, xml, boundary);
}

ResultMap group(const char* id, const char* name) { return ResultMap{{"Id", id}, {"Name", name}}; }

TEST(SoapResponseTreeTest, ShapesOfTheResult) {
    const std::string ns = " xmlns=\"http://services.orvanta.com/recorder/2011/\"";
    struct Case {
        const char* what;
        std::string method;
        std::string body;
        ResultMap expected;
    } cases[] = {
        {"two children become a list in document order", "GetSessionGroups",
         "<GetSessionGroupsResponse" + ns + "><GetSessionGroupsResult>"
         "<SimpleSessionGroup><Id>1</Id><Name>A</Name></SimpleSessionGroup>"
         "<SimpleSessionGroup><Id>2</Id><Name>B</Name></SimpleSessionGroup>"
         "</GetSessionGroupsResult></GetSessionGroupsResponse>",
         {{"response", ResultMap{{"SimpleSessionGroup", ResultList{group("1", "A"), group("2", "B")}}}}}},
        {"a single child is the map itself", "GetSessionGroups",
         "<GetSessionGroupsResponse" + ns + "><GetSessionGroupsResult>"
         "<SimpleSessionGroup><Id>1</Id><Name>A</Name></SimpleSessionGroup>"
         "</GetSessionGroupsResult></GetSessionGroupsResponse>",
         {{"response", ResultMap{{"SimpleSessionGroup", group("1", "A")}}}}},
        {"an empty result element is the null marker", "GetSessionGroups",
         "<GetSessionGroupsResponse" + ns + "><GetSessionGroupsResult/></GetSessionGroupsResponse>",
         {{"response", ResultNull{}}}},
        {"an empty response element without result is an empty map", "StartRecording",
         "<StartRecordingResponse" + ns + " />", {{"response", ResultMap{}}}},
        {"leaf text keeps its white space", "ChunkSize",
         "<ChunkSizeResponse><ChunkSizeResult>  1024\n\t</ChunkSizeResult></ChunkSizeResponse>",
         {{"response", "  1024\n\t"}}},
        {"text beside child elements is dropped", "M",
         "<MResponse><MResult>before<a>1</a>between<b> </b>after</MResult></MResponse>",
         {{"response", ResultMap{{"a", "1"}, {"b", " "}}}}},
        {"repeated names interleaved with others", "M",
         "<MResponse><MResult><a>1</a><b>2</b><a>3</a><a/></MResult></MResponse>",
         {{"response", ResultMap{{"a", ResultList{"1", "3", ResultMap{}}}, {"b", "2"}}}}},
        {"without a result element the response content is kept", "M",
         "<MResponse><Other>x</Other><Other>y</Other></MResponse>",
         {{"response", ResultMap{{"Other", ResultList{"x", "y"}}}}}},
        {"a text response element", "M", "<MResponse>plain</MResponse>", {{"response", "plain"}}},
        {"entities, character references and CDATA are text", "M",
         "<MResponse><MResult>&lt;a&gt; &amp;&#x41;&#66;<![CDATA[<raw>&amp;]]></MResult></MResponse>",
         {{"response", "<a> &AB<raw>&amp;"}}},
        {"attributes are ignored", "M",
         "<MResponse a=\"1\"><MResult xsi:nil=\"false\" b=\"2\"><c d=\"3\">v</c></MResult></MResponse>",
         {{"response", ResultMap{{"c", "v"}}}}},
        {"prefixed names are kept as written", "M",
         "<MResponse><MResult><x:a xmlns:x=\"urn:x\">1</x:a><a>2</a><undeclared:a>3</undeclared:a></MResult>"
         "</MResponse>",
         {{"response", ResultMap{{"x:a", "1"}, {"a", "2"}, {"undeclared:a", "3"}}}}},
        {"an element named like the response tag inside the result is an ordinary element", "M",
         "<MResponse><MResult><MResponse>inner</MResponse></MResult></MResponse>",
         {{"response", ResultMap{{"MResponse", "inner"}}}}},
        {"a later second response element is ignored", "M",
         "<MResponse><MResult>first</MResult></MResponse><MResponse><MResult>second</MResult></MResponse>",
         {{"response", "first"}}},
        {"a response element inside a fault is still taken", "M",
         "<soap:Fault><faultcode>soap:Server</faultcode><detail><MResponse><MResult>y</MResult></MResponse>"
         "</detail></soap:Fault>",
         {{"response", "y"}}},
        {"non-ASCII text", "M", "<MResponse><MResult>Grüße ✓</MResult></MResponse>", {{"response", "Grüße ✓"}}},
    };
    for (const auto& c : cases) {
        auto result = outcome(c.method, inEnvelope(c.body));
        const auto* map = std::get_if<ResultMap>(&result);
        ASSERT_NE(map, nullptr) << c.what << ": " << std::get<core::Error>(result).failureReason;
        EXPECT_EQ(*map, c.expected) << c.what;
    }
}

TEST(SoapResponseTreeTest, FinishedResponseSurvivesJunkAfterIt) {
    // Once the response element has closed, what follows cannot change the result.
    auto result = outcome("M", "<soap:Envelope><soap:Body><MResponse><MResult>x</MResult></MResponse></soap:Bo");
    ASSERT_TRUE(std::holds_alternative<ResultMap>(result));
    EXPECT_EQ(std::get<ResultMap>(result), (ResultMap{{"response", "x"}}));
}

std::string nested(size_t depth, const std::string& inner) {
    std::string open, close;
    for (size_t i = 0; i < depth; ++i) {
        open += "<n>";
        close += "</n>";
    }
    return open + inner + close;
}

TEST(SoapResponseTreeTest, UnusableResponsesGiveError87) {
    const std::string billionLaughs =
        "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">"
        "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
        "<!ENTITY lol2 \"&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;\">"
        "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">"
        "<!ENTITY lol4 \"&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;\">"
        "<!ENTITY lol5 \"&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;\">"
        "<!ENTITY lol6 \"&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;\">"
        "<!ENTITY lol7 \"&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;\">"
        "<!ENTITY lol8 \"&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;\">"
        "<!ENTITY lol9 \"&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;\">"
        "]><MResponse><MResult>&lol9;</MResult></MResponse>";
    const std::string quadraticBlowup = "<?xml version=\"1.0\"?><!DOCTYPE d [<!ENTITY a \"" +
                                        std::string(50000, 'a') + "\">]><MResponse><MResult>" +
                                        [] {
                                            std::string refs;
                                            for (int i = 0; i < 50000; ++i) refs += "&a;";
                                            return refs;
                                        }() +
                                        "</MResult></MResponse>";
    const std::string externalEntity =
        "<?xml version=\"1.0\"?><!DOCTYPE d [<!ENTITY e SYSTEM \"file:///etc/passwd\">]>"
        "<MResponse><MResult>&e;</MResult></MResponse>";
    struct Case {
        const char* what;
        std::string xml;
    } cases[] = {
        {"empty body", ""},
        {"not XML", "hello"},
        {"no response element", inEnvelope("<OtherResponse><OtherResult>x</OtherResult></OtherResponse>")},
        {"fault body", inEnvelope("<soap:Fault><faultcode>soap:Server</faultcode><faultstring>boom</faultstring>"
                                  "</soap:Fault>")},
        {"prefixed response element", inEnvelope("<m:MResponse xmlns:m=\"urn:m\"><m:MResult>x</m:MResult></m:MResponse>")},
        {"truncated inside the response", "<soap:Envelope><soap:Body><MResponse><MResult>x</MRes"},
        {"truncated before the response closes", "<MResponse><MResult>x</MResult>"},
        {"mismatched tags", "<MResponse><MResult>x</Other></MResponse>"},
        {"undeclared entity", "<MResponse><MResult>&nope;</MResult></MResponse>"},
        {"billion laughs", billionLaughs},
        {"quadratic blow-up", quadraticBlowup},
        {"external entity", externalEntity},
        {"deep nesting inside the response", "<MResponse>" + nested(300, "x") + "</MResponse>"},
        {"deep nesting before the response", nested(300, "<MResponse>x</MResponse>")},
        {"NUL byte", std::string("<MResponse>a\0b</MResponse>", 26)},
    };
    for (const auto& c : cases) {
        test::LogCapture log;
        const auto started = std::chrono::steady_clock::now();
        auto result = outcome("M", c.xml);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << c.what;
        const auto* error = std::get_if<core::Error>(&result);
        ASSERT_NE(error, nullptr) << c.what;
        EXPECT_EQ(error->domain, "Orvanta") << c.what;
        EXPECT_EQ(error->code, 87) << c.what;
        EXPECT_EQ(error->description, "Webservice failure") << c.what;
        EXPECT_EQ(error->failureReason, "Failed to parse server response for method M") << c.what;
        EXPECT_EQ(error->userInfo.at(core::kResponseBodyKey), c.xml) << c.what;
    }
}

TEST(SoapResponseTreeTest, ParseErrorsAreLogged) {
    test::LogCapture log;
    (void)outcome("M", "<MResponse><MResult>x</Other></MResponse>");
    EXPECT_TRUE(log.contains("XML parsing error occurred"));
    test::LogCapture quiet;
    (void)outcome("M", "<MResponse/>");
    EXPECT_FALSE(quiet.contains("XML parsing error occurred"));
}

TEST(SoapResponseTreeTest, NestingWithinTheLimitIsAccepted) {
    auto result = outcome("M", "<MResponse>" + nested(200, "deep") + "</MResponse>");
    ASSERT_TRUE(std::holds_alternative<ResultMap>(result));
    const ResultValue* v = &std::get<ResultMap>(result).at("response");
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(v->isMap()) << i;
        v = v->find("n");
        ASSERT_NE(v, nullptr) << i;
    }
    EXPECT_EQ(v->text(), "deep");
}

TEST(SoapResponseTreeTest, MultipartResponseIsCutAtItsBoundary) {
    const std::string xml = inEnvelope("<UploadChunkResponse><UploadChunkResult>hash==</UploadChunkResult>"
                                       "</UploadChunkResponse>");
    const std::string boundary = "uuid:4f0c2f3e-0000+1";
    const std::string body = "--" + boundary +
                             "\r\nContent-ID: <http://tempuri.org/0>\r\nContent-Transfer-Encoding: 8bit\r\n"
                             "Content-Type: application/xop+xml;charset=utf-8;type=\"text/xml\"\r\n\r\n" +
                             xml + "\r\n--" + boundary + "--\r\n";
    auto result = outcome("UploadChunk", body, boundary);
    ASSERT_TRUE(std::holds_alternative<ResultMap>(result));
    EXPECT_EQ(std::get<ResultMap>(result), (ResultMap{{"response", "hash=="}}));

    // Bodies the cut cannot be made in are unparseable, never read out of bounds.
    const std::string broken[] = {"no blank line at all", "\r\n\r\n", "x\r\n\r\n<a/>",
                                  "--" + boundary + "\r\n\r\n" + xml.substr(0, 3)};
    for (const auto& body : broken) {
        auto r = outcome("UploadChunk", body, boundary);
        ASSERT_TRUE(std::holds_alternative<core::Error>(r)) << body;
        EXPECT_EQ(std::get<core::Error>(r).code, 87);
    }
}

TEST(SoapXMLAccumulatorTest, EventsBuildTheTreeOnlyOnceTheResponseCloses) {
    SoapXMLAccumulator acc("MResponse");
    acc.startElement("soap:Body");
    acc.characters("ignored");
    acc.startElement("MResponse");
    acc.startElement("a");
    acc.characters("he");
    acc.characters("llo");
    EXPECT_FALSE(acc.Value().has_value());
    acc.endElement();
    EXPECT_FALSE(acc.Value().has_value());
    acc.endElement();
    ASSERT_TRUE(acc.Value().has_value());
    EXPECT_EQ(*acc.Value(), (ResultMap{{"response", ResultMap{{"a", "hello"}}}}));
    acc.startElement("MResponse");
    acc.characters("again");
    acc.endElement();
    acc.endElement();  // unbalanced end events are harmless
    EXPECT_EQ(*acc.Value(), (ResultMap{{"response", ResultMap{{"a", "hello"}}}}));
}

}  // namespace
}  // namespace orvanta::service
