#include "driver/wformat.h"
#include "endpoint/refusal.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

using vl::formatBounded;
using namespace std::literals;

// Plain %d, %u and %X take 32 bits, as long does on Windows.
TEST(BoundedFormat, MicrosoftWideConversions) {
    auto fmt = [](const wchar_t* format, auto... args) {
        wchar_t buf[256];
        EXPECT_EQ(formatBounded(buf, 256, format, args...), vl::kFormatOk);
        return std::wstring(buf);
    };
    EXPECT_EQ(fmt(L"[%s|%S|%ws|%hs|%ls]", L"w", "n", L"w", "n", L"w"), L"[w|n|w|n|w]");
    EXPECT_EQ(fmt(L"%d %d %u", -998, 2147483647, 4294967295u), L"-998 2147483647 4294967295");
    EXPECT_EQ(fmt(L"0x%X %x", 0x88890019u, 255), L"0x88890019 ff");
    // A refusal in the log: its code, and its name where it has one.
    EXPECT_EQ(vl::refusalText(0x8889000Au).text, L"0x8889000A AUDCLNT_E_DEVICE_IN_USE"s);
    EXPECT_EQ(vl::refusalText(0x8889000Du).text, L"0x8889000D"s);
    EXPECT_EQ(vl::refusalText(0x8007000Au).text, L"0x8007000A"s);
    EXPECT_EQ(fmt(L"%f %f %d.%03d 100%%", 44100.0, 44100.9, 0, 5),
              L"44100.000000 44100.900000 0.005 100%");
    EXPECT_EQ(fmt(L"%-4d|%4s|%.2s|%*d", 7, L"ab", L"xyz", 5, 42), L"7   |  ab|xy|   42");
    EXPECT_EQ(fmt(L"%I64d %lld %c%C", 1LL << 40, -(1LL << 40), L'w', 'n'),
              L"1099511627776 -1099511627776 wn");
    EXPECT_EQ(
        fmt(L"%s|%S", static_cast<const wchar_t*>(nullptr), static_cast<const char*>(nullptr)),
        L"(null)|(null)");
}

// Exactly capacity - 1 characters fit; more, or a malformed format, are cut and reported.
TEST(BoundedFormat, CapacityContractAndMalformedFormats) {
    wchar_t buf[8] = L"keep";
    auto format = [&](size_t capacity, const wchar_t* text) {
        int32_t result = formatBounded(buf, capacity, text);
        return std::make_pair(result, std::wstring(buf));
    };
    EXPECT_EQ(format(0, L"x"), std::make_pair(vl::kFormatInvalidArg, L"keep"s));
    EXPECT_EQ(format(2147483648u, L"x"), std::make_pair(vl::kFormatInvalidArg, L"keep"s));
    EXPECT_EQ(format(8, L"1234567"), std::make_pair(vl::kFormatOk, L"1234567"s));
    EXPECT_EQ(format(8, L"12345678"), std::make_pair(vl::kFormatInsufficient, L"1234567"s));
    EXPECT_EQ(format(1, L"abc"), std::make_pair(vl::kFormatInsufficient, L""s));
    EXPECT_EQ(format(8, L"ab%"), std::make_pair(vl::kFormatInsufficient, L"ab"s));
    EXPECT_EQ(format(8, L"x%n"), std::make_pair(vl::kFormatInsufficient, L"x"s));
}

TEST(LogLine, SecondsMillisecondsAndWrap) {
    char line[300];
    EXPECT_EQ(vl::formatLogLine(line, sizeof line, 83007, L"ASIOSrv::start..."), 25u);
    EXPECT_STREQ(line, "83.007 ASIOSrv::start...\n");
    // The tick wraps after 49.7 days; the 32-bit difference still counts forward.
    EXPECT_EQ(vl::elapsedMs(3, 0xFFFFFFFEu), 5u);
    // Characters the narrow text cannot hold become '?'.
    vl::formatLogLine(line, sizeof line, 0, L"caf\u00e9 \u266a");
    EXPECT_STREQ(line, "0.000 caf\xe9 ?\n");
}
