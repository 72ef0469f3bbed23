// The unit test program. Started with one of these arguments it is instead a
// helper process for the tests that need a second process:
//   --hold-lock ID READY_FILE   takes the operation lock, says so by creating
//                               READY_FILE and waits to be killed;
//   --read-password ID HOST PORT USER FINGERPRINT OUT_FILE
//                               writes the stored password in UTF-8 to OUT_FILE;
//   --store-password ID HOST PORT USER FINGERPRINT PASSWORD
//                               stores a password as the settings window would;
//   --hold-open FILE READY_FILE keeps FILE open, as an indexer or a virus
//                               scanner does (on Windows without delete
//                               sharing), says so and waits to be killed.
#include "config/operation_lock.h"
#include "config/credentials.h"
#include "os/text.h"
#include "os/os.h"
#include "ssh/ssh_library.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

namespace {

tesmora::BackupSettings SettingsFromArguments(char** argv) {
    tesmora::BackupSettings settings;
    settings.id = tesmora::FromUtf8(argv[2]);
    settings.host = tesmora::FromUtf8(argv[3]);
    settings.port = std::atoi(argv[4]);
    settings.user = tesmora::FromUtf8(argv[5]);
    settings.fingerprint = tesmora::FromUtf8(argv[6]);
    return settings;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--hold-lock") == 0) {
        auto lock = tesmora::AcquireOperationLock(tesmora::FromUtf8(argv[2]));
        tesmora::testing::WriteBytes(tesmora::FromUtf8(argv[3]), "held");
        std::this_thread::sleep_for(std::chrono::seconds(120));
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "--hold-open") == 0) {
        std::ifstream held(tesmora::os::FsPath(tesmora::FromUtf8(argv[2])), std::ios::binary);
        if (!held) return 1;
        tesmora::testing::WriteBytes(tesmora::FromUtf8(argv[3]), "held");
        std::this_thread::sleep_for(std::chrono::seconds(120));
        return 0;
    }
    if (argc == 8 && std::strcmp(argv[1], "--store-password") == 0) {
        std::wstring password = tesmora::FromUtf8(argv[7]);
        tesmora::StorePassword(SettingsFromArguments(argv), password);
        return 0;
    }
    if (argc == 8 && std::strcmp(argv[1], "--read-password") == 0) {
        const tesmora::BackupSettings settings = SettingsFromArguments(argv);
        std::wstring password = tesmora::ReadStoredPassword(settings);
        tesmora::testing::WriteBytes(tesmora::FromUtf8(argv[7]), tesmora::ToUtf8(password));
        tesmora::WipeString(password);
        return 0;
    }
    // The program's own start-up: sockets and libssh2 for the whole run.
    tesmora::os::NetworkLibrary network;
    tesmora::ssh::SshLibrary ssh;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
