#include "remote/remote_command.h"

#include "config/text.h"
#include "os/error.h"

#include <gtest/gtest.h>

namespace tesmora {
namespace {

std::string Unhex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

TEST(RootsJson, QuotesEachPathWithoutSpaces) {
    EXPECT_EQ(RootsJson({L"/var/www", L"/etc"}), "[\"/var/www\",\"/etc\"]");
    EXPECT_EQ(RootsJson({L"/var/www", L"/etc"}).size(), 19u);
    EXPECT_EQ(RootsJson({}), "[]");
    EXPECT_EQ(RootsJson({L"/a\"b\\c\td\nсайт"}), "[\"/a\\\"b\\\\c\\u0009d\\u000a\xD1\x81\xD0\xB0\xD0\xB9\xD1\x82\"]");
}

TEST(BuildRemoteCommand, CarriesEverythingAsLowerCaseHex) {
    const std::string script = "print('hi')\r\n";
    const std::vector<std::wstring> paths{L"/var/www", L"/home/o'brien \"x\"; rm -rf /"};
    const std::string command = BuildRemoteCommand(script, paths);
    const std::string prefix = "python3 -c \"exec(bytes.fromhex('";
    const std::string suffix = "'))\"";
    ASSERT_EQ(command.compare(0, prefix.size(), prefix), 0);
    ASSERT_EQ(command.compare(command.size() - suffix.size(), suffix.size(), suffix), 0);
    const std::string hex = command.substr(prefix.size(), command.size() - prefix.size() - suffix.size());
    EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(Unhex(hex), "ROOTS=__import__('json').loads(bytes.fromhex('" + HexLower(RootsJson(paths)) + "'))\n" + script);
    EXPECT_EQ(command.size(), 36 + 2 * (50 + 2 * RootsJson(paths).size() + script.size()));
}

TEST(BuildRemoteCommand, RefusesCommandsOverTheLimit) {
    // 36 + 2 * (50 + 2 * 6 + script) bytes with one path "/a".
    EXPECT_EQ(BuildRemoteCommand(std::string(16304, '#'), {L"/a"}).size(), 32768u);
    try {
        BuildRemoteCommand(std::string(16305, '#'), {L"/a"});
        FAIL() << "a command of 32770 bytes was built";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Too many source paths; shorten the list");
    }
}

TEST(EmbeddedBackupScript, LeavesRoomForAGenerousListOfPaths) {
    // Twenty paths of sixty characters: every byte of the program costs two
    // in the command and every byte of the list four.
    std::vector<std::wstring> paths;
    for (int i = 0; i < 20; ++i) paths.push_back(L"/var/www/site-" + std::to_wstring(100 + i) + std::wstring(42, L'x'));
    EXPECT_LE(BuildRemoteCommand(EmbeddedBackupScript(), paths).size(), kMaxRemoteCommandBytes);
}

TEST(EmbeddedBackupScript, IsStoredWithCrLfAndWithoutMark) {
    const std::string script = EmbeddedBackupScript();
    ASSERT_GT(script.size(), 1000u);
    EXPECT_NE(script.compare(0, 3, "\xEF\xBB\xBF"), 0);
    size_t lineFeeds = 0;
    for (size_t i = 0; i < script.size(); ++i) {
        if (script[i] != '\n') continue;
        ++lineFeeds;
        EXPECT_TRUE(i > 0 && script[i - 1] == '\r') << "bare line feed at byte " << i;
    }
    EXPECT_GT(lineFeeds, 10u);
}

}  // namespace
}  // namespace tesmora
