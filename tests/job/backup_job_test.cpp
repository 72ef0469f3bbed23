// Whole runs against the loopback OpenSSH server the test runner starts; the
// drive is a temporary folder and the facts no test can change for real
// (which drive is connected, free space, a refused rename, a medium that
// changes what it holds) come from a stand-in.
#include "job/backup_job.h"
#include "job/server_program.h"

#include "config/operation_lock.h"
#include "config/credentials.h"
#include "config/ini_file.h"
#include "config/layout.h"
#include "os/text.h"
#include "repository/retention.h"
#include "os/error.h"
#include "os/os.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <random>
#include <regex>
#include <thread>

namespace fs = std::filesystem;

namespace tesmora {
namespace {

class FakeServices : public JobServices {
public:
    std::wstring root;
    int resolutions = 0;
    int changeDriveAtResolution = 0;  // 0: never
    std::uint64_t free = 10ULL << 30;
    int keepAwakeDepth = 0;
    int keepAwakeRequests = 0;
    std::string script;

    std::wstring resolveBoundDrive(const std::wstring&, const std::wstring&) override {
        ++resolutions;
        return resolutions == changeDriveAtResolution ? root + L"-other" : root;
    }
    std::optional<std::uint64_t> freeBytes(const std::wstring&) override { return free; }
    void setKeepAwake(bool on) override {
        keepAwakeDepth += on ? 1 : -1;
        if (on) ++keepAwakeRequests;
    }
    std::string serverProgram() override { return script.empty() ? JobServices::serverProgram() : script; }
    std::wstring fileSystemOf(const std::wstring&) override { return fileSystem; }
    std::string digestOnDevice(const std::wstring& path, const ReadProgress& progress) override {
        if (flipByteOnDevice) {
            std::string bytes = testing::ReadBytes(path);
            bytes[bytes.size() / 2] ^= 1;
            testing::WriteBytes(path, bytes);
        }
        return JobServices::digestOnDevice(path, progress);
    }
    void renameDirectory(const std::wstring& from, const std::wstring& to) override {
        if (refusedRenames > 0) {
            --refusedRenames;
            throw FileSystemError("rename", from + L" -> " + to, "Access is denied.");
        }
        JobServices::renameDirectory(from, to);
        if (afterRename) afterRename();
    }
    void pause(std::chrono::milliseconds duration) override { paused += duration; }
    // Each reading a few seconds on: every run gets stamps of its own.
    std::uint64_t now() override { return clock += 3; }

    std::wstring fileSystem = L"NTFS";
    bool flipByteOnDevice = false;
    int refusedRenames = 0;
    std::chrono::milliseconds paused{0};
    std::uint64_t clock = 1796637600;
    std::function<void()> afterRename;
};

class Job : public ::testing::Test {
protected:
    void SetUp() override {
        const auto server = testing::FindTestSshServer("ECDSA");
        if (!server) GTEST_SKIP() << "no loopback SSH server for this run";
        std::random_device random;
        settings_.id = L"JOB-" + std::to_wstring(random()) + L"-" + std::to_wstring(random());
        settings_.device = L"NO-HARDWARE-SERIAL/VOL-1";
        settings_.host = server->host;
        settings_.port = server->port;
        settings_.user = server->user;
        settings_.fingerprint = server->fingerprint;
        settings_.paths = {server->site};
        // The site has no database, and the runner's own database servers
        // would draw the warning that a server runs without one named.
        settings_.detectDatabases = false;
        settings_.drive_root = dir_.path();
        std::wstring password = server->password;
        StorePassword(settings_, password);
        services_.root = dir_.path();
        folder_ = os::JoinPath(dir_.path(), layout::kBackupFolder);
    }

    std::string Run(bool manual) {
        statuses_.clear();
        try {
            BackupJob::run(settings_, manual, [&](const std::wstring& text) { statuses_.push_back(text); }, services_);
        } catch (const Error& e) {
            EXPECT_EQ(services_.keepAwakeDepth, 0) << "keep-awake left on";
            return e.what();
        }
        EXPECT_EQ(services_.keepAwakeDepth, 0) << "keep-awake left on";
        return "";
    }

    std::vector<std::wstring> Snapshots() const {
        std::vector<std::wstring> out;
        if (!testing::Exists(folder_)) return out;
        for (const auto& entry : fs::directory_iterator(os::FsPath(folder_))) {
            const std::wstring name = os::FromFsPath(entry.path().filename());
            if (name.find(L"_UTC-") != std::wstring::npos) out.push_back(os::FromFsPath(entry.path()));
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    std::vector<std::string> LogMessages() const {
        std::vector<std::string> out;
        const std::string log = testing::ReadBytes(os::JoinPath(folder_, L"backup.log"));
        const std::regex line("\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d_UTC (.*)\r");
        size_t start = 0;
        for (size_t end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
            std::smatch m;
            const std::string one = log.substr(start, end - start);
            EXPECT_TRUE(std::regex_match(one, m, line)) << one;
            out.push_back(m[1]);
        }
        return out;
    }

    std::wstring Staging() const { return os::JoinPath(folder_, L".partial-" + settings_.id); }

    testing::TempDir dir_;
    BackupSettings settings_;
    FakeServices services_;
    std::wstring folder_;
    std::vector<std::wstring> statuses_;
};

TEST_F(Job, SuccessfulRunCommitsACompleteSnapshot) {
    ASSERT_EQ(Run(true), "");
    const auto snapshots = Snapshots();
    ASSERT_EQ(snapshots.size(), 1u);
    const std::wstring snapshot = snapshots[0];
    EXPECT_EQ(testing::ReadBytes(os::JoinPath(snapshot, L"COMPLETE")), ToUtf8(settings_.id));
    // The archive's line, then the index's, which the next run builds on.
    const std::string sums = testing::ReadBytes(os::JoinPath(snapshot, L"SHA256SUMS.txt"));
    EXPECT_EQ(sums.size(), 78u + 77u);
    EXPECT_EQ(sums.substr(78 + 64), "  site.index\n");
    EXPECT_FALSE(testing::Exists(Staging()));
    const auto messages = LogMessages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], "START " + ToUtf8(settings_.host) + ":" + std::to_string(settings_.port));
    EXPECT_EQ(messages[1], "LOGIN password");
    EXPECT_EQ(messages[2], "SUCCESS " + ToUtf8(os::FromFsPath(os::FsPath(snapshot).filename())));
    ASSERT_FALSE(statuses_.empty());
    EXPECT_EQ(statuses_.back(), L"Готово: " + snapshot);
    const std::wstring schedule = os::JoinPath(folder_, L"schedule.ini");
    EXPECT_EQ(ReadIniValue(schedule, L"retry_after", L"?"), L"0");
    EXPECT_EQ(ReadIniValue(schedule, L"last_success", L"?"), ReadIniValue(schedule, L"last_seen", L"!"));
    EXPECT_EQ(ReadIniValue(schedule, L"last_attempt", L"absent"), L"absent");
    EXPECT_EQ(services_.keepAwakeRequests, 1);

    // A scheduled start right after it: not due, nothing changes.
    const std::string logBefore = testing::ReadBytes(os::JoinPath(folder_, L"backup.log"));
    const std::string scheduleBefore = testing::ReadBytes(schedule);
    ASSERT_EQ(Run(false), "");
    EXPECT_EQ(testing::ReadBytes(os::JoinPath(folder_, L"backup.log")), logBefore);
    EXPECT_EQ(testing::ReadBytes(schedule), scheduleBefore);
    EXPECT_EQ(Snapshots().size(), 1u);
}

TEST_F(Job, ScheduledStartsRespectTheSwitchAndThePause) {
    settings_.automatic = false;
    ASSERT_EQ(Run(false), "");
    EXPECT_FALSE(testing::Exists(os::JoinPath(folder_, L"schedule.ini")));
    EXPECT_FALSE(testing::Exists(os::JoinPath(folder_, L"backup.log")));

    settings_.automatic = true;
    services_.free = 400ULL << 20;  // fails after the attempt is recorded
    EXPECT_EQ(Run(false), "Less than 512 MiB free on destination");
    EXPECT_EQ(LogMessages().back(), "FAILED (partial directory retained): " + ToUtf8(L".partial-" + settings_.id) +
                                        ": Less than 512 MiB free on destination");
    EXPECT_EQ(testing::ReadBytes(os::JoinPath(Staging(), L"PARTIAL_OWNER")), ToUtf8(settings_.id));

    services_.free = 10ULL << 30;
    ASSERT_EQ(Run(false), "");  // within the retry pause: ignored
    EXPECT_TRUE(Snapshots().empty());
    ASSERT_EQ(Run(true), "");   // a manual run ignores it
    EXPECT_EQ(Snapshots().size(), 1u);
}

TEST_F(Job, DriveProvenBeforeAndAfterTheTransfer) {
    services_.changeDriveAtResolution = 1;
    EXPECT_EQ(Run(true), "Selected device is missing or its identity changed");
    EXPECT_FALSE(testing::Exists(folder_));

    services_.resolutions = 0;
    services_.changeDriveAtResolution = 2;
    EXPECT_EQ(Run(true), "Device changed during transfer");
    EXPECT_TRUE(Snapshots().empty());
    EXPECT_FALSE(testing::Exists(os::JoinPath(Staging(), L"COMPLETE")));
    EXPECT_FALSE(testing::Exists(os::JoinPath(Staging(), L"snapshot.ini")));
    EXPECT_EQ(LogMessages().back(), "FAILED (partial directory retained): " + ToUtf8(L".partial-" + settings_.id) +
                                        ": Device changed during transfer");

    // The next run takes the staging directory over and succeeds.
    services_.changeDriveAtResolution = 0;
    ASSERT_EQ(Run(true), "");
    EXPECT_EQ(Snapshots().size(), 1u);
}

TEST_F(Job, OnlyAProvenArchiveBecomesASnapshot) {
    // A source of one small file makes an archive far below a kilobyte: whole,
    // so a backup.
    settings_.paths = {settings_.paths[0] + L"/html/index.html"};
    ASSERT_EQ(Run(true), "");
    ASSERT_EQ(Snapshots().size(), 1u);
    EXPECT_LT(testing::ReadBytes(os::JoinPath(Snapshots()[0], L"site.tar.gz")).size(), 1024u);
    EXPECT_EQ(statuses_[statuses_.size() - 2], L"Проверка копии: 100 %");

    // The server program cut off, a stream with nothing in it, an archive
    // whose manifest is not last, and a byte that changed on the drive
    // after the flush: each fails, and no COMPLETE is written.
    const std::string archiveOf = "import io, os, sys, tarfile, zlib\n"
                                  "tar = io.BytesIO()\n"
                                  "with tarfile.open(fileobj=tar, mode='w', format=tarfile.PAX_FORMAT) as t:\n"
                                  "    for name in NAMES:\n"
                                  "        t.addfile(tarfile.TarInfo(name), io.BytesIO(b''))\n"
                                  "z = zlib.compressobj(1, zlib.DEFLATED, 31)\n"
                                  "data = z.compress(tar.getvalue()) + z.flush()\n";
    const struct {
        std::string script;
        bool flip;
        std::string reason;
    } cases[] = {
        {"NAMES = ['a']\n" + archiveOf + "sys.stdout.buffer.write(data[:len(data) // 2])\n", false,
         "Archive verification failed: the gzip data ends early"},
        {"pass\n", false, "Archive verification failed: the archive is empty"},
        {"NAMES = ['__Tesmora_Backup__/manifest.json', 'late']\n" + archiveOf + "sys.stdout.buffer.write(data)\n",
         false, "Archive verification failed: the manifest is not the last member"},
        {"", true, "Archive verification failed: the copy read back from the drive differs from the received data"},
    };
    for (const auto& c : cases) {
        services_.script = c.script;
        services_.flipByteOnDevice = c.flip;
        const std::string failure = Run(true);
        EXPECT_EQ(failure.substr(0, c.reason.size()), c.reason);
        EXPECT_EQ(LogMessages().back(), "FAILED (partial directory retained): " + ToUtf8(L".partial-" + settings_.id) +
                                            ": " + failure);
        EXPECT_FALSE(testing::Exists(os::JoinPath(Staging(), L"COMPLETE")));
        EXPECT_EQ(Snapshots().size(), 1u);
    }
}

TEST_F(Job, ACommitCutOffAfterItsProofIsFinishedByTheNextRunWhateverThatRunMeets) {
    services_.refusedRenames = 3;  // a virus scanner's handle, gone after a second or two
    ASSERT_EQ(Run(true), "");
    EXPECT_EQ(Snapshots().size(), 1u);
    EXPECT_GT(services_.paused, std::chrono::milliseconds(0));

    // The scanner holds on: the run gives up after about ten seconds, and the
    // staging folder stays a finished commit.
    services_.refusedRenames = 1000;
    services_.paused = std::chrono::milliseconds(0);
    const std::string failure = Run(true);
    EXPECT_EQ(failure.rfind("rename: " + ToUtf8(Staging()), 0), 0u) << failure;
    EXPECT_GE(services_.paused, std::chrono::milliseconds(8000));
    EXPECT_LE(services_.paused, std::chrono::milliseconds(12000));
    EXPECT_EQ(testing::ReadBytes(os::JoinPath(Staging(), L"COMPLETE")), ToUtf8(settings_.id));

    // The next run fails at the server, yet the proven copy became a snapshot
    // before anything else happened.
    services_.refusedRenames = 0;
    services_.script = "import sys\nsys.exit(3)\n";
    EXPECT_NE(Run(true), "");
    const auto snapshots = Snapshots();
    ASSERT_EQ(snapshots.size(), 2u);
    const auto messages = LogMessages();
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "SUCCESS " + ToUtf8(os::FromFsPath(os::FsPath(snapshots[1]).filename()))),
              messages.end());
    EXPECT_EQ(testing::ReadBytes(os::JoinPath(Staging(), L"PARTIAL_OWNER")), ToUtf8(settings_.id));
}

TEST_F(Job, AFat32DriveNamesItsFileSizeLimit) {
    services_.fileSystem = L"FAT32";
    ASSERT_EQ(Run(true), "");
    EXPECT_EQ(LogMessages().size(), 3u) << "a small archive gives no warning";
    // The last archive grew past 3.5 GiB (sparse: it costs no space here).
    fs::resize_file(os::FsPath(os::JoinPath(Snapshots()[0], L"site.tar.gz")), 3800000000ULL);
    ASSERT_EQ(Run(true), "");
    const auto messages = LogMessages();
    EXPECT_EQ(messages[4].rfind("Warning: the last archive is above 3.5 GiB and FAT32", 0), 0u) << messages[4];
    EXPECT_TRUE(HitsFileSizeLimit(L"FAT32", 0xFFFFFFFFULL - 100));
    EXPECT_FALSE(HitsFileSizeLimit(L"exFAT", 0xFFFFFFFFULL - 100));
    EXPECT_FALSE(HitsFileSizeLimit(L"FAT32", 1ULL << 31));
}

TEST_F(Job, SettingsAndFoldersAreProvenBeforeAnythingIsWritten) {
    settings_.hours = 0;  // hand-edited: every start would be due
    EXPECT_EQ(Run(false), "Invalid interval 0 hours: use 1 to 8760");
    settings_.hours = 24;
    testing::TempDir elsewhere;
    std::error_code ec;
    fs::create_directory_symlink(os::FsPath(elsewhere.path()), os::FsPath(folder_), ec);
    if (ec) GTEST_SKIP() << "folder links cannot be made here: " << ec.message();
    EXPECT_EQ(Run(true), "Backup folder is redirected; nothing written");
    EXPECT_TRUE(fs::is_empty(os::FsPath(elsewhere.path())));
}

TEST_F(Job, AnotherHolderOfTheLockStopsTheRunAtOnce) {
    // Held on another thread, as the window's save would hold it.
    std::promise<void> taken, done;
    std::thread holder([&] {
        OperationLock held = AcquireOperationLock(settings_.id);
        taken.set_value();
        done.get_future().wait();
    });
    taken.get_future().wait();
    EXPECT_EQ(Run(true), "A backup/settings operation is already running");
    done.set_value();
    holder.join();
    EXPECT_FALSE(testing::Exists(folder_));
}

TEST_F(Job, RetentionKeepsTheNewestAndItsFailureIsNoFailure) {
    settings_.keep = 2;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(Run(true), "");
    auto snapshots = Snapshots();
    ASSERT_EQ(snapshots.size(), 2u);

    // A link inside the oldest snapshot: retention stops, the run still succeeds.
    testing::TempDir outside;
    std::error_code ec;
    fs::create_directory_symlink(os::FsPath(outside.path()), os::FsPath(os::JoinPath(snapshots[0], L"link")), ec);
    if (ec) return;
    ASSERT_EQ(Run(true), "");
    EXPECT_EQ(LogMessages().back(), "Backup complete; retention could not finish. Existing copies kept.");
    EXPECT_EQ(statuses_.back(), L"Копия готова. Очистку старых копий завершить не удалось; проверьте журнал.");
    EXPECT_EQ(Snapshots().size(), 3u);
}

TEST_F(Job, ASuccessThatCannotBeRecordedLeavesTheSnapshotAndSaysSo) {
    // The drive refuses writes right after the commit: schedule.ini cannot be
    // replaced any more.
    const std::wstring schedule = os::JoinPath(folder_, L"schedule.ini");
    services_.afterRename = [&] {
        fs::remove(os::FsPath(schedule));
        fs::create_directory(os::FsPath(schedule));
    };
    ASSERT_EQ(Run(true), "");
    ASSERT_EQ(Snapshots().size(), 1u);
    const std::string name = ToUtf8(os::FromFsPath(os::FsPath(Snapshots()[0]).filename()));
    const auto messages = LogMessages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[2], "SUCCESS " + name);
    EXPECT_EQ(messages[3].rfind("Snapshot " + name + " is complete; its success could not be recorded: ", 0), 0u)
        << messages[3];
}

}  // namespace
}  // namespace tesmora

namespace tesmora {
namespace {

TEST(ParseDetectedDatabases, ListsWhatTheServerFoundAndRaisesItsError) {
    const DetectedDatabases found = ParseDetectedDatabases(
        {}, R"({"databases": [{"engine": "mysql", "database": "wp", "found_in": "/srv/wp-config.php"},)"
            R"( {"engine": "postgresql", "database": "app", "found_in": "the entry postgresql:app"}],)"
            R"( "warnings": ["Database settings are not plain values, so not read: /srv/b/wp-config.php"]})");
    EXPECT_EQ(found.databases, (std::vector<std::wstring>{L"MySQL/MariaDB wp (/srv/wp-config.php)",
                                                          L"PostgreSQL app (the entry postgresql:app)"}));
    EXPECT_EQ(found.warnings.size(), 1u);
    PumpResult failed;
    failed.exitStatus = 1;
    const std::pair<std::string, std::string> failures[] = {
        {"A selected source does not exist: ['/x']\n", "Remote backup failed: A selected source does not exist: ['/x']"},
        {"", "Remote backup failed: exit status 1 without an error text"}};
    for (const auto& [errors, message] : failures) {
        failed.errors = errors;
        try {
            ParseDetectedDatabases(failed, "");
            ADD_FAILURE() << message;
        } catch (const Error& e) {
            EXPECT_EQ(e.what(), message);
        }
    }
    EXPECT_THROW(ParseDetectedDatabases({}, "{\"databases\": "), Error);
}

}  // namespace
}  // namespace tesmora
