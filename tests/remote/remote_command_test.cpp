#include "remote/remote_command.h"

#include <gtest/gtest.h>

namespace tesmora {
namespace {

// What the frames hold is the fuzz target's (server_answer) to prove; here,
// what the shell sees.
TEST(LaunchBackupProgram, TheShellSeesOnlyAShortLoaderWhateverTheRequest) {
    BackupRequest request{{L"/home/o'brien \"x\"; rm -rf /\n$HOME`id`!1"}, {L"mysql:shop`id`"}, false,
                          BackupRequest::Mode::Detect};
    const ProgramLaunch launch = LaunchBackupProgram("print('hi')\r\n", request);
    EXPECT_EQ(launch.command, LoaderCommand());
    // One shell word far below the 8 000 bytes the smallest limits allow,
    // whose quoted part holds nothing any shell expands there: no $, `, \,
    // " or ! (csh's history).
    EXPECT_LT(launch.command.size(), 512u);
    const std::size_t open = launch.command.find('"');
    ASSERT_EQ(launch.command.substr(0, open), "python3 -X utf8 -c ");
    ASSERT_EQ(launch.command.back(), '"');
    const std::string quoted = launch.command.substr(open + 1, launch.command.size() - open - 2);
    EXPECT_EQ(quoted.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 '(),.;:<=%[]{}_"),
              std::string::npos)
        << quoted;
}

}  // namespace
}  // namespace tesmora
