#include "core/MachineInfo.h"

#include <gtest/gtest.h>

#include <fstream>

#include "core/Util.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace orvanta::core;

namespace {

constexpr const char* kRouteHeader =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

// A fake /proc and /sys with network interfaces, routes and a serial number.
class MachineInfoTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(proc() / "net");
        fs::create_directories(sys() / "class" / "net");
    }

    fs::path proc() const { return root_ / "proc"; }
    fs::path sys() const { return root_ / "sys"; }

    void addInterface(const std::string& name, const std::string& address, bool hardware = true,
                      const std::string& type = "1") {
        fs::path dir = sys() / "class" / "net" / name;
        fs::create_directories(dir);
        std::ofstream(dir / "address") << address << "\n";
        std::ofstream(dir / "type") << type << "\n";
        if (hardware) fs::create_directories(dir / "device");
    }
    void writeRoutes(const std::string& rows) { std::ofstream(proc() / "net" / "route") << kRouteHeader << rows; }
    void writeIpv6Routes(const std::string& rows) { std::ofstream(proc() / "net" / "ipv6_route") << rows; }

    orvanta::test::TempDir dir_;
    const fs::path root_ = dir_.path();
};

TEST_F(MachineInfoTest, IdIsBase64OfSha1OfSerialAndMac) {
    // Expected: printf 'SERIAL123''02:fc:00:00:00:01' | openssl sha1 -binary | base64
    EXPECT_EQ(MachineInfo::makeId("SERIAL123", "02:fc:00:00:00:01"), "AzwLYHBOJO/PfaFs0BKhu8Pk95Q=");
    // Without a serial number: the MAC address alone.
    EXPECT_EQ(MachineInfo::makeId(std::nullopt, "02:fc:00:00:00:01"), "LWb24q9naQy93JT0fVltGlRZh8s=");
    EXPECT_EQ(MachineInfo::makeId(std::nullopt, "02:fc:00:00:00:01"),
              encodeBase64(sha1hash(std::string_view("02:fc:00:00:00:01"))));
}

TEST_F(MachineInfoTest, MacAddressComesFromTheDefaultRouteInterface) {
    addInterface("lo", "00:00:00:00:00:00", false, "772");
    addInterface("eth0", "AA:BB:CC:DD:EE:01");
    addInterface("wlan0", "aa:bb:cc:dd:ee:02");
    addInterface("docker0", "02:42:00:00:00:03", false);

    struct Case {
        const char* routes;
        const char* expected;
    };
    const Case cases[] = {
        // The default route (destination and mask 0, up) with the lowest metric wins; upper case is lowered.
        {"wlan0\t00000000\t0102A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
         "eth0\t00000000\t0100A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
         "docker0\t000011AC\t00000000\t0001\t0\t0\t0\t0000FFFF\t0\t0\t0\n",
         "aa:bb:cc:dd:ee:01"},
        {"wlan0\t00000000\t0102A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n", "aa:bb:cc:dd:ee:02"},
        // A route that is not up does not count; without a default route the first hardware interface by name.
        {"wlan0\t00000000\t0102A8C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n", "aa:bb:cc:dd:ee:01"},
        {"", "aa:bb:cc:dd:ee:01"},
        // The routed interface has no hardware address (a tunnel): fall back the same way.
        {"tun0\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n", "aa:bb:cc:dd:ee:01"},
        // Malformed rows are skipped.
        {"wlan0\tzz\n\nwlan0\t00000000\t0102A8C0\t0003\t0\t0\n", "aa:bb:cc:dd:ee:01"},
    };
    for (const auto& c : cases) {
        writeRoutes(c.routes);
        EXPECT_EQ(primaryMacAddress(proc(), sys()), c.expected) << c.routes;
    }

    // Only IPv6 routes.
    writeRoutes("");
    writeIpv6Routes(
        "00000000000000000000000000000000 00 00000000000000000000000000000000 00 00000000000000000000000000000000 "
        "ffffffff 00000001 00000000 00200200       lo\n"
        "00000000000000000000000000000000 00 00000000000000000000000000000000 00 fe800000000000000000000000000001 "
        "00000400 00000001 00000000 00000003    wlan0\n");
    EXPECT_EQ(primaryMacAddress(proc(), sys()), "aa:bb:cc:dd:ee:02");
}

TEST_F(MachineInfoTest, NoUsableInterfaceGivesNoMacAddress) {
    addInterface("lo", "00:00:00:00:00:00", false, "772");
    addInterface("eth0", "00:00:00:00:00:00");
    addInterface("sit0", "0.0.0.0", false);
    addInterface("ib0", "80:00:02:08:fe:80:00:00:00:00:00:00:00:02:c9:03:00:0a:bc:11");
    writeRoutes("eth0\t00000000\t0100A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n");
    EXPECT_EQ(primaryMacAddress(proc(), sys()), std::nullopt);
    EXPECT_EQ(primaryMacAddress(root_ / "nothing", root_ / "nothing"), std::nullopt);
}

TEST_F(MachineInfoTest, SerialNumberIsTrimmedAndBlankMeansNone) {
    fs::path dmi = sys() / "class" / "dmi" / "id";
    fs::create_directories(dmi);
    EXPECT_EQ(hardwareSerialNumber(sys()), std::nullopt);  // missing
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"  C02ABC123 \n", "C02ABC123"},
        {" \n\t", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [content, expected] : cases) {
        std::ofstream(dmi / "product_serial") << content;
        EXPECT_EQ(hardwareSerialNumber(sys()), expected) << content;
    }
}

TEST_F(MachineInfoTest, XmlAndDictionaryForms) {
    const std::string blanks(33, ' ');
    MachineInfo info = MachineInfo::make("S1", "02:fc:00:00:00:01", "lab-pc", "10.0.0.7", "alice");
    EXPECT_EQ(info.toXml(), blanks + "<Id>" + MachineInfo::makeId("S1", "02:fc:00:00:00:01") + "</Id>" + blanks +
                                "<Name>lab-pc</Name>" + blanks + "<IP>10.0.0.7</IP>" + blanks + "<User>alice</User>");
    EXPECT_EQ(info.description(), info.toXml());
    EXPECT_EQ(info.toDictionary(), (std::map<std::string, std::string>{
                                       {"Id", info.Id}, {"Name", "lab-pc"}, {"IP", "10.0.0.7"}, {"User", "alice"}}));

    // Markup in a name stays text.
    MachineInfo odd = MachineInfo::make(std::nullopt, "m", "a<b>&c", "::1", "</User><x>");
    EXPECT_NE(odd.toXml().find("<Name>a&lt;b&gt;&amp;c</Name>"), std::string::npos);
    EXPECT_NE(odd.toXml().find("<User>&lt;/User&gt;&lt;x&gt;</User>"), std::string::npos);
    EXPECT_EQ(odd.toDictionary().at("Name"), "a<b>&c");
}

TEST_F(MachineInfoTest, CurrentDescribesThisMachine) {
    auto before = std::chrono::system_clock::now();
    MachineInfo info = MachineInfo::current();
    EXPECT_EQ(info.Name, currentHostName());
    EXPECT_FALSE(info.Name.empty());
    EXPECT_FALSE(info.IP.empty());
    EXPECT_EQ(info.Id, MachineInfo::makeId(hardwareSerialNumber(), primaryMacAddress()));
    EXPECT_EQ(decodeBase64(info.Id)->size(), 20u);
    EXPECT_GE(info.LoginDate, before);
    EXPECT_LE(info.LoginDate, std::chrono::system_clock::now());
    EXPECT_EQ(currentHostAddress(""), "127.0.0.1");
}

}  // namespace
