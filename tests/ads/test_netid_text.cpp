// AMS NetId: text parsing and printing, the IPv4 form, truth value and ordering; AMS address order.
#include "ads/AdsDef.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

std::string text(const AmsNetId& id)
{
    return id.ToString();
}

TEST(NetIdText, ParsesAndPrintsBack)
{
    EXPECT_EQ(text(AmsNetId("192.168.0.10.1.1")), "192.168.0.10.1.1");
    EXPECT_EQ(text(AmsNetId("0.0.0.0.0.0")), "0.0.0.0.0.0");
    EXPECT_EQ(text(AmsNetId("255.255.255.255.255.255")), "255.255.255.255.255.255");
    EXPECT_EQ(AmsNetId("5.1.2.3.1.1"), AmsNetId(5, 1, 2, 3, 1, 1));
}

TEST(NetIdText, WrongFieldCountsFail)
{
    for (const char* bad : {"1.2.3.4.5", "", "1.2.3.4.5.6.7", "1.2.3.4.5.6..", ".", "1"}) {
        SCOPED_TRACE(bad);
        const AmsNetId fromText(bad);
        EXPECT_EQ(text(fromText), "0.0.0.0.1.1");
        EXPECT_FALSE(static_cast<bool>(fromText));
        const AmsNetId made = make_AmsNetId(bad);
        EXPECT_EQ(text(made), "0.0.0.0.0.0");
        EXPECT_TRUE(static_cast<bool>(made)) << "the all-zero NetId counts as set";
        AmsNetId out(9, 9, 9, 9, 9, 9);
        EXPECT_FALSE(ParseAmsNetId(bad, out));
    }
}

TEST(NetIdText, FieldsConvertLikeStrtolAndKeepTheLowByte)
{
    EXPECT_EQ(text(AmsNetId("1.2.3.4.5.6.")), "1.2.3.4.5.6") << "one trailing dot is accepted";
    EXPECT_EQ(text(AmsNetId("1..3.4.5.6")), "1.0.3.4.5.6");
    EXPECT_EQ(text(AmsNetId(" 1.2.3.4.5.6")), "1.2.3.4.5.6");
    EXPECT_EQ(text(AmsNetId("1. 2.\t3.4.5.6")), "1.2.3.4.5.6");
    EXPECT_EQ(text(AmsNetId("256.300.-1.12ab.x.7")), "0.44.255.12.0.7");
    EXPECT_EQ(text(AmsNetId("+7.2.3.4.5.99999999999")), "7.2.3.4.5.255") << "saturates to the 32-bit range";
    EXPECT_EQ(text(AmsNetId("1.2.3.4.5.-99999999999")), "1.2.3.4.5.0");
    EXPECT_EQ(text(make_AmsNetId("10.0.0.1.1.1")), "10.0.0.1.1.1");
}

TEST(NetIdText, TextConstructorAndMakeDifferOnlyOnFailure)
{
    for (const char* good : {"1.2.3.4.5.6", "0.0.0.0.1.1", "10.20.30.40.50.60."}) {
        EXPECT_EQ(AmsNetId(good), make_AmsNetId(good)) << good;
    }
    EXPECT_NE(AmsNetId("1.2.3"), make_AmsNetId("1.2.3"));
}

TEST(NetIdText, FromIpv4)
{
    EXPECT_EQ(text(AmsNetId(0x0A000001u)), "10.0.0.1.1.1");
    EXPECT_EQ(text(AmsNetId(0xC0A8000Au)), "192.168.0.10.1.1");
    EXPECT_EQ(text(AmsNetId(0u)), "0.0.0.0.1.1");
    EXPECT_EQ(text(AmsNetId()), "0.0.0.0.1.1");
    EXPECT_FALSE(static_cast<bool>(AmsNetId()));
    EXPECT_TRUE(static_cast<bool>(AmsNetId(0x0A000001u)));
    EXPECT_TRUE(static_cast<bool>(AmsNetId(0, 0, 0, 0, 1, 2)));
}

TEST(NetIdText, StreamOutputSwitchesToDecimal)
{
    std::ostringstream os;
    os << std::hex << 255 << ' ' << AmsNetId(10, 11, 12, 13, 1, 255) << ' ' << 255;
    EXPECT_EQ(os.str(), "ff 10.11.12.13.1.255 255");
}

TEST(NetIdText, OrderIsLexicographicOverUnsignedBytes)
{
    const AmsNetId a("10.0.0.1.1.1");
    EXPECT_TRUE(a < AmsNetId("10.0.0.2.1.1"));
    EXPECT_TRUE(AmsNetId("9.255.255.255.1.1") < a);
    EXPECT_FALSE(a < a);
    EXPECT_TRUE(AmsNetId("127.0.0.1.1.1") < AmsNetId("128.0.0.1.1.1")) << "bytes compare unsigned";
    EXPECT_TRUE(AmsNetId("1.2.3.4.5.6") < AmsNetId("1.2.3.4.5.7"));
}

TEST(NetIdText, AddressOrderAndEquality)
{
    const AmsAddr a{AmsNetId("10.0.0.1.1.1"), 851};
    const AmsAddr b{AmsNetId("10.0.0.1.1.1"), 852};
    const AmsAddr c{AmsNetId("10.0.0.0.1.1"), 65535};
    EXPECT_TRUE(a < b);
    EXPECT_FALSE(b < a);
    EXPECT_TRUE(c < a);
    EXPECT_FALSE(a < c);
    EXPECT_FALSE(a < a);
    EXPECT_TRUE(a == (AmsAddr{AmsNetId(10, 0, 0, 1, 1, 1), 851}));
    EXPECT_TRUE(a != b);
    EXPECT_TRUE(a != (AmsAddr{AmsNetId("10.0.0.1.1.2"), 851}));
}

} // namespace
