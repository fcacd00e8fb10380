#include "core/Util.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <random>
#include <regex>
#include <set>

#include "support/Files.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace orvanta::core;

namespace {

using orvanta::test::LogCapture;

std::vector<uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> fromHex(std::string_view hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

template <class Bytes>
std::string toHex(const Bytes& data) {
    std::string out;
    char buf[3];
    for (uint8_t b : data) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        out += buf;
    }
    return out;
}

// ---- Base64 -------------------------------------------------------------------------------------

TEST(UtilBase64, KnownVectorsBothWays) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},          {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    LogCapture log;
    for (const auto& [plain, encoded] : cases) {
        EXPECT_EQ(encodeBase64(std::string_view(plain)), encoded);
        EXPECT_EQ(decodeBase64(encoded), bytes(plain)) << encoded;
    }
    EXPECT_FALSE(log.contains("Failed to flush the BIO object"));
}

TEST(UtilBase64, BinaryAndLargeDataRoundTripOnOneLine) {
    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(decodeBase64(encodeBase64(all)), all);

    std::mt19937 random(7);
    std::vector<uint8_t> large(1 << 20 | 1);
    for (auto& b : large) b = static_cast<uint8_t>(random());
    std::string text = encodeBase64(large);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.size(), (large.size() + 2) / 3 * 4);
    EXPECT_EQ(decodeBase64(text), large);
}

TEST(UtilBase64, DamagedTextIsRefused) {
    for (const char* text : {"Zm9v!", "Zm9v Zm9v", "Zm9v\n", "=Zm9v", "Zm=9v", "Z", "Zm9vY", "Zm9v====", "Zg=",
                             "Zm9v-_", "\xC3\xA9Zm9v"})
        EXPECT_EQ(decodeBase64(text), std::nullopt) << text;
    // Padding may be left out.
    EXPECT_EQ(decodeBase64("Zm8"), bytes("fo"));
    EXPECT_EQ(decodeBase64("Zg"), bytes("f"));
}

// ---- Digests --------------------------------------------------------------------------------------

TEST(UtilDigest, KnownDigests) {
    EXPECT_EQ(toHex(md5Digest(std::string_view("abc"))), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(toHex(md5Digest(std::string_view(""))), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(toHex(sha1hash(std::string_view("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(toHex(sha1hash(std::string_view(""))), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    // The chunk hash the upload receiver compares.
    EXPECT_EQ(encodeBase64(md5Digest(std::string_view("abc"))), "kAFQmDzST7DWlj99KOF/cg==");
}

TEST(UtilDigest, StreamingMd5MatchesOneShotAndStartsOver) {
    std::vector<uint8_t> data(100'000);
    std::mt19937 random(3);
    for (auto& b : data) b = static_cast<uint8_t>(random());

    Md5 md5;
    std::span<const uint8_t> all(data);
    for (size_t offset = 0; offset < data.size(); offset += 4096)
        md5.update(all.subspan(offset, std::min<size_t>(4096, data.size() - offset)));
    EXPECT_EQ(md5.final(), md5Digest(data));

    md5.update(std::string_view("abc"));
    EXPECT_EQ(toHex(md5.final()), "900150983cd24fb0d6963f7d28e17f72");
}

// ---- DES ----------------------------------------------------------------------------------------

// Expected values computed with: openssl enc -des-cbc -K 0123456789abcdef -iv 1234567890abcdef
TEST(UtilDes, KnownAnswersAndRoundTrip) {
    const auto key = fromHex("0123456789abcdef");
    const auto iv = fromHex("1234567890abcdef");
    const std::pair<std::string, const char*> cases[] = {
        {"password", "1ccd8628e18a2d5855ae289a9ec96aed"},  // 8 bytes in, a whole block of padding added
        {"", "c21106448c1e13c5"},
        {"Grüße, 1234567890!", "8194d43dbf126eafd9754fac34e415132d421e8d1a8cbc62"},
    };
    for (const auto& [plain, expected] : cases) {
        auto cipher = encryptDESWithKey(bytesOf(plain), key, iv);
        ASSERT_TRUE(cipher) << plain;
        EXPECT_EQ(toHex(*cipher), expected);
        EXPECT_EQ(decryptDESWithKey(*cipher, key, iv), bytes(plain));
    }
    EXPECT_EQ(encryptDESWithKey(bytesOf("password"), key, iv)->size(), 16u);
}

TEST(UtilDes, FailuresGiveNothingAndAreLogged) {
    const auto key = fromHex("0123456789abcdef");
    const auto iv = fromHex("1234567890abcdef");
    LogCapture log;
    EXPECT_EQ(encryptDESWithKey(bytesOf("x"), fromHex("0123"), iv), std::nullopt);
    EXPECT_TRUE(log.contains("EVP_EncryptInit() failed!"));
    EXPECT_EQ(encryptDESWithKey(bytesOf("x"), key, fromHex("01")), std::nullopt);

    auto cipher = *encryptDESWithKey(bytesOf("password"), key, iv);
    cipher.pop_back();  // no longer whole blocks
    EXPECT_EQ(decryptDESWithKey(cipher, key, iv), std::nullopt);
    EXPECT_TRUE(log.contains("EVP_DecryptFinal() failed!"));
}

// ---- Texts ----------------------------------------------------------------------------------------

TEST(UtilText, QueryParameters) {
    using Map = std::map<std::string, std::string>;
    const std::pair<const char*, Map> cases[] = {
        {"a=1&b=2&a=3", {{"a", "3"}, {"b", "2"}}},
        {"", {}},
        {"userkey=u%40x&oauth_consumer_key=orvantainternal",
         {{"userkey", "u%40x"}, {"oauth_consumer_key", "orvantainternal"}}},
        {"token=a=b==", {{"token", "a=b=="}}},  // split on the first "=" only
        {"flag&&x=&=v", {{"flag", ""}, {"x", ""}, {"", "v"}}},
    };
    for (const auto& [query, expected] : cases) EXPECT_EQ(queryParameters(query), expected) << query;
}

TEST(UtilText, UrlEncode) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},
        {"AZaz09-._~!*'()", "AZaz09-._~!*'()"},
        {";/?:@&=+$,", "%3B%2F%3F%3A%40%26%3D%2B%24%2C"},
        {"a b%#", "a%20b%25%23"},
        {"Ab+/c9==", "Ab%2B%2Fc9%3D%3D"},
        {"ü€", "%C3%BC%E2%82%AC"},
        {"http://h/x?y=1", "http%3A%2F%2Fh%2Fx%3Fy%3D1"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(urlEncode(text), expected) << text;
}

TEST(UtilText, UuidsAreUpperCaseVersion4AndDistinct) {
    const std::regex shape("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        std::string uuid = stringWithUUID();
        ASSERT_TRUE(std::regex_match(uuid, shape)) << uuid;
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(UtilText, DescriptionCompatIsGmtWithoutZone) {
    using namespace std::chrono;
    const std::pair<system_clock::time_point, const char*> cases[] = {
        {system_clock::from_time_t(978307200), "2001-01-01T00:00:00"},
        {system_clock::from_time_t(1330837567) + milliseconds(999), "2012-03-04T05:06:07"},
        {system_clock::from_time_t(0) - milliseconds(1500), "1969-12-31T23:59:58"},
    };
    for (const auto& [date, expected] : cases) EXPECT_EQ(descriptionCompat(date), expected);
}

TEST(UtilText, IsNullOrEmpty) {
    EXPECT_TRUE(isNullOrEmpty(std::nullopt));
    EXPECT_TRUE(isNullOrEmpty(std::string()));
    EXPECT_FALSE(isNullOrEmpty(std::string(" ")));
}

TEST(UtilText, DurationFromTimeInterval) {
    const std::pair<double, const char*> cases[] = {
        {3725, "01:02:05"},   {59, "00:00:59"},   {3600, "01:00:00"},
        {3599, "00:59:59"},   {0, "00:00:00"},    {59.999, "00:00:59"},
        {360000, "100:00:00"}, {-5, "00:00:00"},  {std::nan(""), "00:00:00"},
        {std::numeric_limits<double>::infinity(), "277777777777:46:40"},
    };
    for (const auto& [seconds, expected] : cases) EXPECT_EQ(durationFromTimeInterval(seconds), expected) << seconds;
}

// ---- Errors ---------------------------------------------------------------------------------------

TEST(UtilError, MessageFromError) {
    EXPECT_EQ(messageFromError(nullptr), std::nullopt);

    const std::pair<Error, std::string> cases[] = {
        {Error(kURLErrorDomain, -1009, "The Internet connection appears to be offline."), "You appear to be offline"},
        {Error("Other", -1009, "whatever"), "You appear to be offline"},
        {Error(kOrvantaErrorDomain, 88, "The call timed out"), "The call timed out"},
        {Error(kOrvantaErrorDomain, 87), Error(kOrvantaErrorDomain, 87).localizedDescription()},
    };
    for (const auto& [error, expected] : cases) EXPECT_EQ(messageFromError(&error), expected);
}

TEST(UtilError, ThrowWithSoapError) {
    EXPECT_NO_THROW(throwWithSoapError(nullptr));

    Error error(kOrvantaErrorDomain, 82, "Session creation failed", "The server refused the session");
    try {
        throwWithSoapError(&error);
        FAIL() << "nothing thrown";
    } catch (const OrvantaSoapException& e) {
        EXPECT_STREQ(e.what(), "The server refused the session");
        EXPECT_EQ(e.innerError().code, 82);
        EXPECT_EQ(e.innerError().domain, kOrvantaErrorDomain);
    }
}

// ---- Zip ------------------------------------------------------------------------------------------

class UtilZip : public ::testing::Test {
protected:
    // The names `unzip -l` lists for the archive.
    std::string listing(const fs::path& archive) {
        return orvanta::test::commandOutput("unzip -l '" + archive.string() + "' 2>&1");
    }

    orvanta::test::TempDir tmp_;
    const fs::path dir_ = tmp_.path();
};

TEST_F(UtilZip, ArchivesAFolderFromTheWorkingFolder) {
    fs::create_directories(dir_ / "Report 1" / "sub");
    std::ofstream(dir_ / "Report 1" / "crash.log") << "log";
    std::ofstream(dir_ / "Report 1" / "sub" / "store; rm -rf x.sqlite") << "db";
    fs::create_directories(dir_ / "Desk");

    // The archiver adds ".zip"; the archive path is absolute, the folder is named relative to inDir.
    ASSERT_TRUE(createZipArchive(dir_ / "Desk" / "Archive_1", dir_, {"-r", "Report 1"}));
    std::string names = listing(dir_ / "Desk" / "Archive_1.zip");
    EXPECT_NE(names.find("Report 1/crash.log"), std::string::npos) << names;
    EXPECT_NE(names.find("Report 1/sub/store; rm -rf x.sqlite"), std::string::npos) << names;
}

TEST_F(UtilZip, FailuresAreReported) {
    LogCapture log;
    // Nothing to archive: zip exits with a non-zero status.
    EXPECT_FALSE(createZipArchive(dir_ / "empty", dir_, {"no-such-file"}));
    EXPECT_FALSE(fs::exists(dir_ / "empty.zip"));
    // The working folder does not exist.
    EXPECT_FALSE(createZipArchive(dir_ / "x", dir_ / "missing", {"-r", "."}));
    EXPECT_TRUE(log.contains("createZipArchive"));
}

}  // namespace
