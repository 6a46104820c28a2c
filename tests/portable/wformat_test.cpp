#include "driver/wformat.h"

#include <gtest/gtest.h>

#include <string>

using vl::formatBounded;

namespace {

std::wstring fmt(const wchar_t* format, ...) {
    wchar_t buf[256];
    va_list args;
    va_start(args, format);
    EXPECT_EQ(vl::vformatBounded(buf, 256, format, args), vl::kFormatOk);
    va_end(args);
    return buf;
}

} // namespace

TEST(BoundedFormat, MicrosoftWideConversions) {
    EXPECT_EQ(fmt(L"[%s]", L"wide"), L"[wide]");
    EXPECT_EQ(fmt(L"[%S]", "narrow"), L"[narrow]");
    EXPECT_EQ(fmt(L"[%ws]", L"wide"), L"[wide]");
    EXPECT_EQ(fmt(L"[%hs|%ls]", "n", L"w"), L"[n|w]");
    EXPECT_EQ(fmt(L"%d %d", -998, 2147483647), L"-998 2147483647");
    EXPECT_EQ(fmt(L"0x%X", 0x88890019u), L"0x88890019");
    EXPECT_EQ(fmt(L"%x", 255), L"ff");
    EXPECT_EQ(fmt(L"%f", 44100.0), L"44100.000000");
    EXPECT_EQ(fmt(L"%f", 44100.9), L"44100.900000");
    EXPECT_EQ(fmt(L"%d.%03d", 0, 5), L"0.005");
    EXPECT_EQ(fmt(L"100%%"), L"100%");
    EXPECT_EQ(fmt(L"%-4d|%4s|%.2s", 7, L"ab", L"xyz"), L"7   |  ab|xy");
    EXPECT_EQ(fmt(L"%*d", 5, 42), L"   42");
    EXPECT_EQ(fmt(L"%I64d %lld", 1LL << 40, -(1LL << 40)), L"1099511627776 -1099511627776");
    EXPECT_EQ(fmt(L"%c%C", L'w', 'n'), L"wn");
    EXPECT_EQ(fmt(L"%s|%S", static_cast<const wchar_t*>(nullptr), static_cast<const char*>(nullptr)),
              L"(null)|(null)");
    // Plain %d and %X take 32 bits, as long does on Windows.
    EXPECT_EQ(fmt(L"%X", 0xFFFFFFFFu), L"FFFFFFFF");
    EXPECT_EQ(fmt(L"%u", 4294967295u), L"4294967295");
}

TEST(BoundedFormat, CapacityContract) {
    wchar_t buf[8] = L"keep";
    EXPECT_EQ(formatBounded(buf, 0, L"x"), vl::kFormatInvalidArg);
    EXPECT_EQ(formatBounded(buf, 2147483648u, L"x"), vl::kFormatInvalidArg);
    EXPECT_EQ(std::wstring(buf), L"keep");

    // Exactly capacity - 1 characters fit.
    EXPECT_EQ(formatBounded(buf, 8, L"%s", L"1234567"), vl::kFormatOk);
    EXPECT_EQ(std::wstring(buf), L"1234567");
    // One more is cut, terminated, and reported.
    EXPECT_EQ(formatBounded(buf, 8, L"%s", L"12345678"), vl::kFormatInsufficient);
    EXPECT_EQ(std::wstring(buf), L"1234567");
    EXPECT_EQ(formatBounded(buf, 1, L"abc"), vl::kFormatInsufficient);
    EXPECT_EQ(buf[0], L'\0');

    // A 300-character message in the log's 256-character buffer keeps its first 255.
    std::wstring longText(300, L'a');
    for (size_t i = 0; i < longText.size(); ++i) longText[i] = L'a' + i % 26;
    wchar_t message[256];
    EXPECT_EQ(formatBounded(message, 256, L"%s", longText.c_str()), vl::kFormatInsufficient);
    EXPECT_EQ(std::wstring(message), longText.substr(0, 255));
}

TEST(BoundedFormat, MalformedFormatIsCutNotCrashed) {
    wchar_t buf[16];
    EXPECT_EQ(formatBounded(buf, 16, L"ab%"), vl::kFormatInsufficient);
    EXPECT_EQ(std::wstring(buf), L"ab");
    EXPECT_EQ(formatBounded(buf, 16, L"x%n"), vl::kFormatInsufficient);
    EXPECT_EQ(std::wstring(buf), L"x");
}

TEST(LogLine, SecondsMillisecondsAndWrap) {
    char line[300];
    EXPECT_EQ(vl::formatLogLine(line, sizeof line, 83007, L"ASIOSrv::start..."), 25u);
    EXPECT_STREQ(line, "83.007 ASIOSrv::start...\n");
    vl::formatLogLine(line, sizeof line, 5, L"m");
    EXPECT_STREQ(line, "0.005 m\n");
    // The tick wraps after 49.7 days; the 32-bit difference still counts forward.
    EXPECT_EQ(vl::elapsedMs(3, 0xFFFFFFFEu), 5u);
    // Characters the narrow text cannot hold become '?'.
    vl::formatLogLine(line, sizeof line, 0, L"caf\u00e9 \u266a");
    EXPECT_STREQ(line, "0.000 caf\xe9 ?\n");
}
