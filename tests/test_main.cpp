// The unit test program. Started with "--hold-lock ID READY_FILE" it is instead
// a helper process for the tests that need a second process: it takes the
// operation lock, says so by creating READY_FILE and waits to be killed.
#include "app/operation_lock.h"
#include "config/text.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--hold-lock") == 0) {
        auto lock = tesmora::app::AcquireOperationLock(tesmora::FromUtf8(argv[2]));
        tesmora::testing::WriteBytes(tesmora::FromUtf8(argv[3]), "held");
        std::this_thread::sleep_for(std::chrono::seconds(120));
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
