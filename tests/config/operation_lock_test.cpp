#include "config/operation_lock.h"

#include "os/error.h"
#include "os/os.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

namespace tesmora {
namespace {

using namespace std::chrono_literals;

std::wstring FreshId() {
    std::random_device random;
    return L"test-" + std::to_wstring(random()) + L"-" + std::to_wstring(random());
}

bool RefusedOnAnotherThread(const std::wstring& id) {
    bool refused = false;
    std::thread([&] {
        try {
            auto lock = AcquireOperationLock(id);
        } catch (const Error& e) {
            // The kind keeps a scheduled start that meets a running operation
            // from being told as a failed backup.
            refused = e.kind() == ErrorKind::Busy;
        }
    }).join();
    return refused;
}

// Starts this test program as a helper that holds the lock for `id`.
os::ChildProcess StartHolder(const std::wstring& id, const testing::TempDir& dir) {
    const std::wstring ready = dir.file(L"ready");
    auto child = os::ChildProcess::Start(testing::TestProgramPath(), {L"--hold-lock", id, ready});
    for (int i = 0; i < 3000 && !testing::Exists(ready); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(testing::Exists(ready)) << "the helper process never took the lock";
    return child;
}

TEST(OperationLock, SecondTakerIsRefusedUntilRelease) {
    const std::wstring id = FreshId();
    {
        OperationLock lock = AcquireOperationLock(id);
        EXPECT_TRUE(lock.held());
        EXPECT_TRUE(RefusedOnAnotherThread(id));
        ReleaseOperationLock(lock);
        EXPECT_FALSE(lock.held());
        EXPECT_FALSE(RefusedOnAnotherThread(id));
    }
    {
        // Going out of scope releases too.
        OperationLock lock = AcquireOperationLock(id);
    }
    EXPECT_FALSE(RefusedOnAnotherThread(id));
}

TEST(OperationLock, HoldsAcrossLogonSessions) {
    // Wine runs every process in one session, so the test stands in for a
    // process of another session: it can only look in the global namespace.
    const std::wstring id = FreshId();
    OperationLock lock = AcquireOperationLock(id);
    bool taken = true;
    std::thread([&] { taken = os::TryAcquireNamedLock(L"Global\\TesmoraBackup-" + id).held(); }).join();
    EXPECT_FALSE(taken);
}

TEST(OperationLock, DifferentBindingIdsDoNotBlockEachOther) {
    OperationLock first = AcquireOperationLock(FreshId());
    OperationLock second = AcquireOperationLock(FreshId());
    EXPECT_TRUE(first.held());
    EXPECT_TRUE(second.held());
}

TEST(OperationLock, MovedLockStaysHeldOnce) {
    const std::wstring id = FreshId();
    OperationLock lock = AcquireOperationLock(id);
    OperationLock moved = std::move(lock);
    EXPECT_FALSE(lock.held());
    EXPECT_TRUE(moved.held());
    EXPECT_TRUE(RefusedOnAnotherThread(id));
}

TEST(OperationLock, AnotherProcessHoldingItRefusesAndItsDeathFreesIt) {
    testing::TempDir dir;
    const std::wstring id = FreshId();
    os::ChildProcess holder = StartHolder(id, dir);
    try {
        AcquireOperationLock(id);
        FAIL() << "took a lock another process holds";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "A backup/settings operation is already running");
    }
    EXPECT_TRUE(AcquireOperationLock(FreshId()).held());

    holder.kill();  // dies holding the lock, as a killed backup would
    OperationLock lock = AcquireOperationLock(id);
    EXPECT_TRUE(lock.held());
}

}  // namespace
}  // namespace tesmora
