#include "remote/launch_failure.h"

#include <gtest/gtest.h>

namespace tesmora {
namespace {

PumpResult Ended(int status, std::string errors, std::string signal = {}) {
    PumpResult end;
    end.exitStatus = status;
    end.errors = std::move(errors);
    end.signal = std::move(signal);
    return end;
}

TEST(LaunchFailure, EachShellsWordsForAMissingPython3AndTheAccountsThatRunNothing) {
    // What servers answered, as measured.
    const struct {
        PumpResult end;
        std::string output;
        std::optional<ErrorCode> code;
    } cases[] = {
        {Ended(127, "sh: 1: python3: not found\n"), "", ErrorCode::PythonMissing},
        {Ended(127, "bash: line 1: python3: command not found\n"), "", ErrorCode::PythonMissing},
        {Ended(127, "zsh:1: command not found: python3\n"), "", ErrorCode::PythonMissing},
        {Ended(1, "python3: Command not found.\n"), "", ErrorCode::PythonMissing},
        {Ended(127, "fish: Unknown command: python3\nfish: \npython3 -X utf8 -c ...\n^~~~~~^\n"), "",
         ErrorCode::PythonMissing},
        {Ended(1, "python3 3.7 or newer is needed on the server; found 3.6\n"), "", ErrorCode::PythonTooOld},
        {Ended(1, ""), "This service allows sftp connections only.\n", ErrorCode::NoCommands},
        {Ended(1, ""), "This account is currently not available.\n", ErrorCode::NoCommands},
        // The program's own failures speak for themselves.
        {Ended(1, "A selected source does not exist: ['/srv/x']\n"), "", std::nullopt},
        {Ended(1, "Cannot read /srv/secret: Permission denied\n"), "\x1f\x8b\x08", std::nullopt},
        {Ended(0, "", "KILL"), "", std::nullopt},
        {Ended(0, ""), "\x1f\x8b\x08\x00", std::nullopt},
        // A program killed by a signal after a short text is no refusal.
        {Ended(0, "", "TERM"), "partial\n", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto failure = LaunchFailure(c.end, c.output, ExpectedOutput::Archive);
        EXPECT_EQ(failure.has_value(), c.code.has_value()) << c.end.errors << c.output;
        if (failure && c.code) {
            EXPECT_EQ(failure->code(), *c.code) << failure->what();
        }
    }
    EXPECT_STREQ(LaunchFailure(Ended(1, "python3 3.7 or newer is needed on the server; found 3.6\n"), "",
                               ExpectedOutput::Answer)->what(),
                 "python3 3.7 or newer is needed on the server; found 3.6");
}

TEST(LaunchFailure, TextAheadOfTheProgramsOutputIsALoginScriptsAndIsQuotedSafely) {
    const std::string greeting = "Welcome to web-01! Disk quota: 37% used.\n";
    EXPECT_TRUE(StartsWithForeignText(greeting + "\x1f\x8b\x08", ExpectedOutput::Archive));
    // Framed, the program's output begins with the frame of the index header.
    const std::string frame("H\0\0\0\x40x\x9c", 7);
    EXPECT_TRUE(StartsWithForeignText(greeting + frame, ExpectedOutput::Archive));
    EXPECT_FALSE(StartsWithForeignText(frame, ExpectedOutput::Archive));
    EXPECT_TRUE(StartsWithForeignText(greeting + "{\"probe\": \"ok\"}", ExpectedOutput::Answer));
    EXPECT_TRUE(StartsWithForeignText("\x1b[32mПривет\x1b[0m\r\n", ExpectedOutput::Archive));
    EXPECT_FALSE(StartsWithForeignText("{\"probe\": \"ok\"}", ExpectedOutput::Answer));
    EXPECT_FALSE(StartsWithForeignText("", ExpectedOutput::Archive));
    // Binary data is damage, not a greeting: it breaks the rules of UTF-8.
    EXPECT_FALSE(StartsWithForeignText("PK\x03\x04\x14\x00", ExpectedOutput::Archive));
    EXPECT_FALSE(StartsWithForeignText("_\xEC\xEB" "f\xFF\xC8o8\x1f", ExpectedOutput::Archive));

    const auto failure = LaunchFailure(Ended(0, ""), greeting + "{}", ExpectedOutput::Answer);
    ASSERT_TRUE(failure);
    EXPECT_STREQ(failure->what(), "A login script on the server printed text before the program's answer: \"Welcome "
                                  "to web-01! Disk quota: 37% used.\"; make it print only in interactive shells");
    EXPECT_EQ(QuotedStart("a\x07" "b\nsecond line"), "\"a\\x07b\u2026\"");
    EXPECT_EQ(QuotedStart(std::string(150, 'w')), "\"" + std::string(100, 'w') + "\u2026\"");
    EXPECT_EQ(QuotedStart("один\r\n"), "\"один\"");
}

}  // namespace
}  // namespace tesmora
