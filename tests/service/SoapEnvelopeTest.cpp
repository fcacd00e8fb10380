#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "service/ServiceConstants.h"
#include "service/SoapEnvelope.h"

namespace orvanta::service {
namespace {

const std::string kHead =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<soap:Envelope xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns=\"";

std::string envelope(const std::string& ns, const std::string& methodElement) {
    return kHead + ns + "\"><soap:Body>" + methodElement + "</soap:Body></soap:Envelope>";
}

TEST(SoapEscapeTest, CharactersAreEscapedAmpersandFirst) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"", ""},
        {"plain text 123", "plain text 123"},
        {"a<b & c", "a&lt;b &amp; c"},
        {"</user><admin>", "&lt;/user&gt;&lt;admin&gt;"},
        {"&amp;", "&amp;amp;"},
        {"&lt;already&gt;", "&amp;lt;already&amp;gt;"},
        {"say \"hi\"", "say &quot;hi&quot;"},
        {"it's", "it&apos;s"},
        {"<>&'\"", "&lt;&gt;&amp;&apos;&quot;"},
        {"Grüße ✓", "Grüße ✓"},
        {std::string("nul\0byte", 8), std::string("nul\0byte", 8)},
    };
    for (const auto& c : cases) EXPECT_EQ(escapeCharacters(c.in), c.out) << c.in;
}

TEST(SoapEscapeTest, ObjectsByType) {
    struct Case {
        const char* what;
        SoapValue in;
        std::string out;
    } cases[] = {
        {"text", SoapValue("x < y"), "x &lt; y"},
        {"empty map", SoapValue(SoapMap{}), ""},
        {"map of a list", SoapValue(SoapMap{{"streams", SoapList{"<a/>", "b&c"}}}),
         "<streams>&lt;a/&gt;b&amp;c</streams>"},
        {"map keeps its order",
         SoapValue(SoapMap{{"Id", "1"}, {"Name", "n"}, {"IP", "10.0.0.1"}, {"User", "u\"q"}}),
         "<Id>1</Id><Name>n</Name><IP>10.0.0.1</IP><User>u&quot;q</User>"},
        {"nested map", SoapValue(SoapMap{{"outer", SoapMap{{"inner", "v"}}}}), "<outer><inner>v</inner></outer>"},
        {"empty list", SoapValue(SoapList{}), ""},
        {"list", SoapValue(SoapList{"a", int32_t(2), Guid{"g"}}), "a<int>2</int><guid xsi:type=\"s1:guid\">g</guid>"},
        {"int", SoapValue(int32_t(-42)), "<int>-42</int>"},
        {"int max", SoapValue(std::numeric_limits<int32_t>::max()), "<int>2147483647</int>"},
        {"double", SoapValue(1.5), "1.5"},
        {"whole double", SoapValue(3.0), "3"},
        {"small double", SoapValue(0.1), "0.1"},
        {"huge double", SoapValue(1e20), "1e+20"},
        {"guid", SoapValue(Guid{"0f8fad5b-d9cb-469f-a165-70867728950e"}),
         "<guid xsi:type=\"s1:guid\">0f8fad5b-d9cb-469f-a165-70867728950e</guid>"},
        {"default guid", SoapValue(Guid{}), "<guid xsi:type=\"s1:guid\">00000000-0000-0000-0000-000000000000</guid>"},
        {"hostile guid text", SoapValue(Guid{"</guid><x>"}), "<guid xsi:type=\"s1:guid\">&lt;/guid&gt;&lt;x&gt;</guid>"},
        {"bytes nested in a map", SoapValue(SoapMap{{"b", SoapBinary{'h', 'i'}}}), "<b>aGk=</b>"},
    };
    for (const auto& c : cases) EXPECT_EQ(escapeObject(c.in), c.out) << c.what;
}

TEST(SoapNamespaceTest, TrimAndCombine) {
    EXPECT_EQ(trimSlash("//a/b//"), "a/b");
    EXPECT_EQ(trimSlash("///"), "");
    EXPECT_EQ(trimSlash(""), "");
    EXPECT_EQ(trimSlash("x"), "x");

    const std::string n = "http://services.orvanta.com/recorder/2011";
    struct Case {
        std::string ns, extension, action, out;
    } cases[] = {
        {n, "", "GetSessions", n + "/GetSessions"},
        {n + "/", "", "GetSessions", n + "/GetSessions"},
        {n, "IWCFReceiver", "UploadChunk", n + "/IWCFReceiver/UploadChunk"},
        {n + "/", "/IWCFReceiver/", "/UploadChunk", n + "/IWCFReceiver/UploadChunk"},
        {n, "", "", n + "/"},
        {n + "//", "", "", n + "/"},
        {n, "IWCFReceiver", "", n + "/IWCFReceiver/"},
        {"", "", "", "/"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(combineNamespace(c.ns, c.extension, c.action), c.out) << c.ns << " | " << c.extension << " | " << c.action;
}

TEST(SoapEnvelopeTest, MethodWithParameters) {
    std::vector<std::string> names = {"user", "pass", "machine", "sessionIds"};
    std::vector<SoapValue> values = {"</user><admin>", "p&amp;w", SoapMap{{"Id", "1"}, {"Name", "box"}},
                                     SoapList{Guid{"a"}, Guid{"b"}}};
    EXPECT_EQ(createSOAPBodyFromMethod("LoginWithPassword", kServiceNamespace, "", &names, &values, -1),
              envelope(kServiceNamespace,
                       "<LoginWithPassword xmlns=\"http://services.orvanta.com/recorder/2011/\">"
                       "<user>&lt;/user&gt;&lt;admin&gt;</user><pass>p&amp;amp;w</pass>"
                       "<machine><Id>1</Id><Name>box</Name></machine>"
                       "<sessionIds><guid xsi:type=\"s1:guid\">a</guid><guid xsi:type=\"s1:guid\">b</guid></sessionIds>"
                       "</LoginWithPassword>"));
}

TEST(SoapEnvelopeTest, WithoutParametersTheMethodElementIsEmpty) {
    std::vector<std::string> noNames;
    std::vector<SoapValue> noValues;
    std::vector<std::string> names = {"a"};
    const std::string expected =
        envelope(kServiceNamespaceWithSlash, "<ChunkSize xmlns=\"http://services.orvanta.com/recorder/2011/\"></ChunkSize>");
    EXPECT_EQ(createSOAPBodyFromMethod("ChunkSize", kServiceNamespaceWithSlash, kUploadExtension, nullptr, nullptr, -1),
              expected);
    EXPECT_EQ(createSOAPBodyFromMethod("ChunkSize", kServiceNamespaceWithSlash, kUploadExtension, &noNames, &noValues, -1),
              expected);
    // Values without names, or names without values, are not written either.
    std::vector<SoapValue> one = {"x"};
    EXPECT_EQ(createSOAPBodyFromMethod("ChunkSize", kServiceNamespaceWithSlash, "", nullptr, &one, -1), expected);
    EXPECT_EQ(createSOAPBodyFromMethod("ChunkSize", kServiceNamespaceWithSlash, "", &names, &noValues, -1), expected);
}

TEST(SoapEnvelopeTest, NamespaceSlashOnlyChangesTheDefaultNamespace) {
    std::vector<std::string> names = {"fileName"};
    std::vector<SoapValue> values = {"f"};
    const std::string method =
        "<TryCloseFile xmlns=\"http://services.orvanta.com/recorder/2011/\"><fileName>f</fileName></TryCloseFile>";
    EXPECT_EQ(createSOAPBodyFromMethod("TryCloseFile", kServiceNamespace, kUploadExtension, &names, &values, -1),
              envelope(kServiceNamespace, method));
    EXPECT_EQ(createSOAPBodyFromMethod("TryCloseFile", kServiceNamespaceWithSlash, kUploadExtension, &names, &values, -1),
              envelope(kServiceNamespaceWithSlash, method));
}

TEST(SoapEnvelopeTest, BufferIndexValueIsInsertedRaw) {
    std::vector<std::string> names = {"a", "buffer", "c"};
    std::vector<SoapValue> values = {"<1>", "<xop:Include href=\"cid:x\"/>", "<3>"};
    const std::string text = createSOAPBodyFromMethod("M", "urn:n", "", &names, &values, 1);
    EXPECT_NE(text.find("<a>&lt;1&gt;</a><buffer><xop:Include href=\"cid:x\"/></buffer><c>&lt;3&gt;</c>"),
              std::string::npos)
        << text;
}

TEST(SoapEnvelopeTest, UnnamedValuesAreLeftOut) {
    std::vector<std::string> names = {"a"};
    std::vector<SoapValue> values = {"1", "2"};
    const std::string text = createSOAPBodyFromMethod("M", "urn:n", "", &names, &values, -1);
    EXPECT_NE(text.find("<M xmlns=\"urn:n/\"><a>1</a></M>"), std::string::npos) << text;
}

}  // namespace
}  // namespace orvanta::service
