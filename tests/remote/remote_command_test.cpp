#include "remote/remote_command.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace tesmora {
namespace {

std::string Inflate(std::string_view packed) {
    std::string out(1 << 20, '\0');
    uLongf size = static_cast<uLongf>(out.size());
    EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(packed.data()),
                         static_cast<uLong>(packed.size())),
              Z_OK);
    out.resize(size);
    return out;
}

// Takes one frame off the front of `input`.
std::string_view NextFrame(std::string_view& input) {
    const std::size_t end = input.find('\n');
    const std::size_t size = std::stoul(std::string(input.substr(0, end)));
    const std::string_view frame = input.substr(end + 1, size);
    input.remove_prefix(std::min(input.size(), end + 1 + size));
    return frame;
}

TEST(JsonList, QuotesEachTextWithoutSpaces) {
    EXPECT_EQ(JsonList({L"/var/www", L"/etc"}), "[\"/var/www\",\"/etc\"]");
    EXPECT_EQ(JsonList({}), "[]");
    EXPECT_EQ(JsonList({L"/a\"b\\c\td\nсайт"}), "[\"/a\\\"b\\\\c\\u0009d\\u000a\xD1\x81\xD0\xB0\xD0\xB9\xD1\x82\"]");
}

TEST(LaunchBackupProgram, TheShellSeesOnlyTheLoaderAndTheRestComesInFrames) {
    const std::string script = "print('hi')\r\n";
    BackupRequest request{{L"/var/www", L"/home/o'brien \"x\"; rm -rf /\n$HOME`id`"},
                          {L"mysql:shop`id`", L"postgresql:$(x)"}, false, BackupRequest::Mode::Detect};
    const ProgramLaunch launch = LaunchBackupProgram(script, request);
    // One shell word far below the 8 000 bytes the smallest limits allow,
    // whose quoted part holds nothing any shell expands there.
    EXPECT_LT(launch.command.size(), 512u);
    const std::size_t open = launch.command.find('"');
    ASSERT_EQ(launch.command.substr(0, open), "python3 -X utf8 -c ");
    ASSERT_EQ(launch.command.back(), '"');
    const std::string quoted = launch.command.substr(open + 1, launch.command.size() - open - 2);
    EXPECT_EQ(quoted.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 '(),.;:<=%[]{}_"),
              std::string::npos)
        << quoted;
    EXPECT_EQ(launch.command, LoaderCommand());

    std::string_view input = launch.input;
    EXPECT_EQ(Inflate(NextFrame(input)), script);
    EXPECT_EQ(NextFrame(input), "{\"paths\":[\"/var/www\",\"/home/o'brien \\\"x\\\"; rm -rf /\\u000a$HOME`id`\"],"
                                "\"databases\":[\"mysql:shop`id`\",\"postgresql:$(x)\"],\"detect\":false,"
                                "\"mode\":\"detect\"}");
    EXPECT_TRUE(input.empty());
}

}  // namespace
}  // namespace tesmora
