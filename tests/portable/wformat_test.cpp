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

// Random formats and capacities under the sanitizers: the bounded result is always the
// terminated prefix of the unbounded one, and the code says whether anything was cut.
TEST(BoundedFormat, RandomFormatsKeepTheContract) {
    const wchar_t* pieces[] = {L"ASIOSrv:::\t", L"%d", L"%5d", L"%-3X", L"%03d", L"%f", L"%.2f",
                               L"%s",          L"%S", L"%ws", L"%%",  L"x",    L"%c", L"%u"};
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    for (int round = 0; round < 20000; ++round) {
        std::wstring format;
        int n = 1 + next() % 8;
        int ints[8];
        for (int i = 0; i < n; ++i) format += pieces[next() % (sizeof pieces / sizeof *pieces)];
        for (int& v : ints) v = static_cast<int>(next());
        bool ok = true;
        wchar_t full[2048];
        std::wstring rebuilt;
        size_t pos = 0;
        int arg = 0;
        // Format piece by piece so every argument matches its conversion.
        while (pos < format.size()) {
            size_t next_pct = format.find(L'%', pos);
            if (next_pct == std::wstring::npos) {
                rebuilt += format.substr(pos);
                break;
            }
            rebuilt += format.substr(pos, next_pct - pos);
            size_t end = format.find_first_of(L"dXfsSc%u", next_pct + 1);
            std::wstring spec = format.substr(next_pct, end - next_pct + 1);
            wchar_t conv = format[end];
            if (conv == L'%') {
                ok = formatBounded(full, 2048, spec.c_str()) == vl::kFormatOk;
            } else if (conv == L'f') {
                ok = formatBounded(full, 2048, spec.c_str(), ints[arg++ % 8] / 7.0) == vl::kFormatOk;
            } else if (conv == L'S') {
                ok = formatBounded(full, 2048, spec.c_str(), "narrow") == vl::kFormatOk;
            } else if (conv == L's') {
                ok = formatBounded(full, 2048, spec.c_str(), L"wide") == vl::kFormatOk;
            } else {
                ok = formatBounded(full, 2048, spec.c_str(), ints[arg++ % 8]) == vl::kFormatOk;
            }
            ASSERT_TRUE(ok) << std::string(spec.begin(), spec.end());
            rebuilt += full;
            pos = end + 1;
        }
        size_t capacity = 1 + next() % 64;
        std::wstring text = rebuilt;
        wchar_t out[80];
        for (wchar_t& c : out) c = L'#';
        int32_t hr = formatBounded(out, capacity, L"%s", text.c_str());
        ASSERT_EQ(hr, text.size() < capacity ? vl::kFormatOk : vl::kFormatInsufficient);
        std::wstring got(out);
        ASSERT_LT(got.size(), capacity);
        ASSERT_EQ(got, text.substr(0, capacity - 1));
        ASSERT_EQ(out[capacity], L'#'); // nothing written past the capacity
    }
}
