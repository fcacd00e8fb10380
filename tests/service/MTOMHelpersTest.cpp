#include <gtest/gtest.h>

#include <set>

#include "service/MTOMHelpers.h"
#include "service/ServiceConstants.h"

namespace orvanta::service {
namespace {

const std::string kStartID = std::string(kServiceNamespaceWithSlash) + "0";
const std::string kBufferID = std::string(kServiceNamespaceWithSlash) + "1";

TEST(MTOMParametersTest, OnlyCallsWithBytesNeedMTOM) {
    const SoapBinary* buffer = nullptr;
    int index = -7;
    EXPECT_FALSE(MTOMHelpers::MTOMParametersWithIDForBuffer(kBufferID, {}, &buffer, &index));
    EXPECT_FALSE(MTOMHelpers::MTOMParametersWithIDForBuffer(kBufferID, {"a", SoapList{SoapBinary{1}}, int32_t(3)},
                                                            &buffer, &index));
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(index, -7);
}

TEST(MTOMParametersTest, LastBinaryValueBecomesTheAttachment) {
    const std::vector<SoapValue> values = {"s", SoapBinary{1, 2}, "f", SoapBinary{9, 0, 9}, "5368709120"};
    const SoapBinary* buffer = nullptr;
    int index = -1;
    auto substituted = MTOMHelpers::MTOMParametersWithIDForBuffer(kBufferID, values, &buffer, &index);
    ASSERT_TRUE(substituted);
    EXPECT_EQ(index, 3);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer, &std::get<SoapBinary>(values[3].value)) << "the attachment is not copied";
    ASSERT_EQ(substituted->size(), values.size());
    EXPECT_EQ((*substituted)[3], SoapValue("<xop:Include xmlns:xop=\"http://www.w3.org/2004/08/xop/include\" "
                                           "href=\"cid:http://services.orvanta.com/recorder/2011/1\"/>"));
    for (size_t i : {0u, 1u, 2u, 4u}) EXPECT_EQ((*substituted)[i], values[i]) << i;
    // The out arguments are optional.
    EXPECT_TRUE(MTOMHelpers::MTOMParametersWithIDForBuffer(kBufferID, values, nullptr, nullptr));
}

TEST(MTOMBodyTest, WireLayoutByteForByte) {
    const std::string envelope = "<?xml version=\"1.0\" encoding=\"utf-8\"?><e>Grüße ✓ \xF0\x9F\x8E\xA5</e>";
    const SoapBinary bytes = {0x00, 0x01, '\r', '\n', '-', '-', 0xff, 0x00, 0x80};
    std::string boundary;
    const std::string body = MTOMHelpers::MTOMBodyFromEnvelope(envelope, bytes, kStartID, kBufferID, &boundary);

    // The boundary is read back from the body itself, as a receiver would.
    ASSERT_EQ(body.compare(0, 2, "--"), 0);
    const std::string fromBody = body.substr(2, body.find("\r\n") - 2);
    EXPECT_EQ(fromBody, boundary);
    EXPECT_EQ(boundary.size(), 40u);
    EXPECT_EQ(boundary.find_first_not_of('-'), 24u);

    const std::string B = fromBody;
    const std::string expected =
        "--" + B + "\r\n" +
        "Content-Disposition: form-data; name=\"foo\"\r\n"
        "Content-Type: application/xop+xml; charset=UTF-8; type=\"text/xml\"\r\n"
        "Content-ID: <http://services.orvanta.com/recorder/2011/0>\r\n"
        "\r\n" +
        envelope + "\r\n--" + B + "\r\n" +
        "Content-Disposition: form-data; name=\"project\"; filename=\"buffer\"\r\n"
        "Content-Type: application/octet-stream\r\n"
        "Content-Transfer-Encoding: binary\r\n"
        "Content-ID: <http://services.orvanta.com/recorder/2011/1>\r\n"
        "\r\n" +
        std::string(bytes.begin(), bytes.end()) + "\r\n--" + B + "--\r\n";
    EXPECT_EQ(body, expected);
    EXPECT_EQ(body, MTOMHelpers::MTOMBodyWithBoundary(envelope, bytes, kStartID, kBufferID, B));
    // The whole UTF-8 envelope is carried, not its character count.
    EXPECT_NE(body.find(envelope), std::string::npos);
}

TEST(MTOMBodyTest, BoundariesAreFreshAndEmptyChunksAreCarried) {
    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) {
        std::string boundary;
        const std::string body = MTOMHelpers::MTOMBodyFromEnvelope("<e/>", {}, kStartID, kBufferID, &boundary);
        seen.insert(boundary);
        EXPECT_TRUE(body.ends_with("\r\n\r\n\r\n--" + boundary + "--\r\n")) << "zero bytes still make a part";
    }
    EXPECT_EQ(seen.size(), 20u);
}

TEST(MTOMContentTypeTest, RequestContentType) {
    EXPECT_EQ(MTOMHelpers::MTOMContentTypeWithBoundary("----abc", kStartID),
              "multipart/related;type=\"application/xop+xml\";boundary=\"----abc\";"
              "start=\"http://services.orvanta.com/recorder/2011/0\";start-info=\"text/xml\"");
}

TEST(MTOMBoundaryTest, FromContentType) {
    struct Case {
        std::optional<std::string> contentType;
        std::optional<std::string> boundary;
    } cases[] = {
        {std::nullopt, std::nullopt},
        {"text/xml; charset=utf-8", std::nullopt},
        {"", std::nullopt},
        {"multipart/related; type=\"application/xop+xml\"; boundary=\"uuid:1b2c\"; start=\"<r>\"", "uuid:1b2c"},
        {"multipart/related;boundary=plain-b;start=x", "plain-b"},
        {"multipart/related; boundary=last", "last"},
        {"multipart/related; boundary=\"\"\"quoted\"\"\"", "quoted"},
        {"multipart/related; boundary=\"\"", ""},
        {"multipart/related; boundary=", ""},
        {"multipart/related; boundary=a b ; x", "a b "},
        // Parameter names are matched as written; the first "boundary=" wins.
        {"multipart/related; Boundary=upper", std::nullopt},
        {"x; boundary=one; boundary=two", "one"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MTOMHelpers::MTOMBoundaryFromContentType(c.contentType), c.boundary) << c.contentType.value_or("(none)");

    EXPECT_EQ(extractBoundary(nullptr), std::nullopt);
    EXPECT_EQ(extractBoundary("a; boundary=\"q\";"), "\"q\"");
}

TEST(MTOMBoundaryTest, XMLCutOfAMultipartBody) {
    struct Case {
        std::string body, boundary;
        std::optional<std::string> xml;
    } cases[] = {
        {"--b\r\nH: v\r\n\r\n<x/>\r\n--b--\r\n", "b", "<x/>\r\n"},
        {"--bb\r\n\r\n<x/>\r\n--bb--\r\n", "bb", "<x/>\r\n"},
        {"--b\r\n\r\n", "b", std::nullopt},
        {"\r\n\r\n123456", "", ""},
        {"\r\n\r\n12345", "", std::nullopt},
        {"--long-boundary\r\n\r\nshort", "long-boundary", std::nullopt},
        {"no blank line", "b", std::nullopt},
        {"", "b", std::nullopt},
    };
    for (const auto& c : cases) {
        auto xml = MTOMHelpers::MTOMXMLFromMultipartBody(c.body, c.boundary);
        EXPECT_EQ(xml ? std::optional<std::string>(std::string(*xml)) : std::nullopt, c.xml) << c.body;
    }
}

}  // namespace
}  // namespace orvanta::service
