#include "os/os.h"
#include "os/text.h"

#include <gtest/gtest.h>

namespace tesmora {
namespace {

TEST(Text, Utf8RoundTripsCyrillicAndAstralCharacters) {
    const std::wstring text = L"/var/www/сайт \U0001F600";
    const std::string utf8 = ToUtf8(text);
    EXPECT_EQ(utf8, "/var/www/\xD1\x81\xD0\xB0\xD0\xB9\xD1\x82 \xF0\x9F\x98\x80");
    EXPECT_EQ(FromUtf8(utf8), text);
    EXPECT_EQ(ToUtf8(L""), "");
    // A password's conversion never reallocates, which would leave an unwiped copy.
    EXPECT_GE(ToUtf8(std::wstring(100, L'ж')).capacity(), 300u);
    EXPECT_EQ(FromUtf8(""), L"");
}

TEST(Text, MalformedUtf8BecomesReplacementCharacters) {
    // One U+FFFD per maximal ill-formed subpart, decoding resumes after it.
    EXPECT_EQ(FromUtf8("a\xFF" "b"), L"a\uFFFDb");
    EXPECT_EQ(FromUtf8("\xD1"), L"\uFFFD");                  // truncated at the end
    EXPECT_EQ(FromUtf8("\xE0\x80\x80"), L"\uFFFD\uFFFD\uFFFD");  // overlong
    EXPECT_EQ(FromUtf8("\xED\xA0\x80"), L"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
    EXPECT_EQ(FromUtf8("\xF0\x9F\x98" "x"), L"\uFFFDx");        // cut four-byte sequence
}

TEST(Text, UnpairedSurrogatesBecomeReplacementCharacters) {
    std::u16string lone{u'a', static_cast<char16_t>(0xD800), u'b'};
    EXPECT_EQ(FromUtf16(lone), L"a\uFFFDb");
    const std::wstring wide = FromUtf16(lone);
    EXPECT_EQ(ToUtf8(wide), "a\xEF\xBF\xBD" "b");
}

TEST(Text, Utf16CodeUnitsAreTheSameInBothBuilds) {
    EXPECT_EQ(ToUtf16(L"Я\U0001F600"), (std::u16string{u'Я', 0xD83D, 0xDE00}));
    EXPECT_EQ(FromUtf16(u"Я\U0001F600"), L"Я\U0001F600");
    EXPECT_EQ(Utf16LeBytes(L"AЯ"), std::string("A\0\x2F\x04", 4));
}

TEST(Text, JsonQuoteEscapesOnlyQuotesBackslashesAndControlBytes) {
    EXPECT_EQ(JsonQuote(L"a\tb"), "\"a\\u0009b\"");
    EXPECT_EQ(JsonQuote(L"\n\x1f"), "\"\\u000a\\u001f\"");
    EXPECT_EQ(JsonQuote(L"\\"), "\"\\\\\"");
    EXPECT_EQ(JsonQuote(L"F:\\"), "\"F:\\\\\"");
    EXPECT_EQ(JsonQuote(L"say \"hi\""), "\"say \\\"hi\\\"\"");
    EXPECT_EQ(JsonQuote(L"\x7f/"), "\"\x7f/\"");
    EXPECT_EQ(JsonQuote(L"Щ"), "\"\xD0\xA9\"");
    EXPECT_EQ(JsonQuote(L""), "\"\"");
}

TEST(SamePath, ComparesElementsWithEitherSeparator) {
    EXPECT_TRUE(os::SamePath(L"C:\\Users\\me\\AppData\\Local\\Tesmora\\SiteBackup",
                         L"C:/Users/me//AppData\\\\Local/Tesmora/SiteBackup"));
    EXPECT_FALSE(os::SamePath(L"C:\\Users\\Me\\x", L"C:\\Users\\me\\x"));
    EXPECT_FALSE(os::SamePath(L"C:\\a\\b", L"C:\\a\\bc"));
    EXPECT_FALSE(os::SamePath(L"C:\\a", L"C:\\a\\b"));
}

}  // namespace
}  // namespace tesmora
