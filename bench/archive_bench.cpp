// Times the archive work of the native core and prints name=value lines:
//   tesmora_archive_bench readback FILE           the read-back past the system cache
//   tesmora_archive_bench verify SNAPSHOT ID      a whole verification of a snapshot
//   tesmora_archive_bench restore SNAPSHOT FOLDER a restore into an empty folder
//   tesmora_archive_bench encrypt FILE            age encryption of the file, as it is read
//   tesmora_archive_bench unlock                  opening identity.age at its scrypt work factor
//   tesmora_archive_bench history                 a simulated year of retention, fitted policy against keep N
#include "crypto/age.h"
#include "repository/retention_plan.h"
#include "os/text.h"
#include "restore/restore.h"
#include "snapshot/verify.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

// A year of runs every 4 hours on weekdays, with three weeks away in the
// summer, trimmed after each run; the history depth at the year's end: how
// far back the oldest kept copy lies.
double HistoryDays(const tesmora::RetentionPolicy& policy, std::size_t& mostCopies) {
    using namespace tesmora;
    const std::uint64_t start = 1704067200;  // Monday 2024-01-01 00:00 UTC
    std::vector<PlannedSnapshot> kept;
    std::uint64_t last = start;
    for (std::uint64_t t = start; t < start + 365ull * 86400; t += 4 * 3600) {
        const std::uint64_t day = (t - start) / 86400;
        if (day % 7 >= 5 || (day >= 182 && day < 203)) continue;
        kept.push_back({std::to_wstring(t), t, true, true, 1});
        last = t;
        const RetentionOutcome plan =
            RetentionPlan(kept, t, [](std::uint64_t utc) { return os::LocalTimeAt(utc); }, policy);
        std::vector<PlannedSnapshot> next;
        for (std::size_t i = 0; i < kept.size(); ++i) {
            kept[i].pinned = false;
            if (plan.decisions[i].keep) next.push_back(kept[i]);
        }
        kept = std::move(next);
        mostCopies = std::max(mostCopies, kept.size());
    }
    return static_cast<double>(last - kept.front().created) / 86400.0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tesmora;
    if (argc == 2 && std::strcmp(argv[1], "history") == 0) {
        // A drive with room for 20 archives: the fitted policy and the flat
        // newest-N that the same room holds.
        constexpr std::uint64_t archive = 1000000000, room = 20 * 1100000000ull;
        const RetentionPolicy fitted = FitRetentionPolicy(room, archive, 4);
        RetentionPolicy flat;
        flat.keep = static_cast<int>(room / (archive + archive / 10)) - 1;
        std::size_t fittedCopies = 0, flatCopies = 0;
        const double deep = HistoryDays(fitted, fittedCopies), shallow = HistoryDays(flat, flatCopies);
        std::printf("history_copies_most_fitted=%zu\nhistory_copies_most_keep_n=%zu\n", fittedCopies, flatCopies);
        std::printf("history_fitted_policy=keep %d daily %d weekly %d monthly %d\n", fitted.keep, fitted.daily,
                    fitted.weekly, fitted.monthly);
        std::printf("history_depth_days_fitted=%.1f\nhistory_depth_days_keep_n=%.1f\nhistory_depth_ratio_vs_keep_n=%.1f\n",
                    deep, shallow, deep / shallow);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "unlock") == 0) {
        // Sealed first, outside the time: the user waits only for the opening.
        const std::string sealed = age::SealIdentities({age::GenerateIdentity()}, "a passphrase of the bench");
        const auto started = std::chrono::steady_clock::now();
        age::OpenIdentities(sealed, "a passphrase of the bench");
        std::printf("identity_unlock_s=%.2f\n",
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        return 0;
    }
    const bool oneFile = argc == 3 && (std::strcmp(argv[1], "readback") == 0 || std::strcmp(argv[1], "encrypt") == 0);
    if (argc < 3 || (!oneFile && argc != 4)) {
        std::fprintf(stderr, "usage: %s readback FILE | encrypt FILE | unlock | verify SNAPSHOT ID | restore SNAPSHOT FOLDER\n",
                     argv[0]);
        return 2;
    }
    const auto started = std::chrono::steady_clock::now();
    try {
        if (std::strcmp(argv[1], "readback") == 0) {
            DigestOnDevice(FromUtf8(argv[2]));
        } else if (std::strcmp(argv[1], "encrypt") == 0) {
            std::ifstream in(argv[2], std::ios::binary);
            std::uint64_t out = 0;
            age::Encryptor encryptor({age::RecipientOf(age::GenerateIdentity())},
                                     [&](std::string_view bytes) { out += bytes.size(); });
            std::string piece(1 << 20, '\0');
            while (in.read(piece.data(), static_cast<std::streamsize>(piece.size())) || in.gcount() > 0) {
                encryptor.write(std::string_view(piece.data(), static_cast<std::size_t>(in.gcount())));
            }
            encryptor.finish();
            std::printf("encrypted_bytes=%llu\n", static_cast<unsigned long long>(out));
        } else if (std::strcmp(argv[1], "verify") == 0) {
            const Verdict verdict = VerifySnapshot(FromUtf8(argv[2]), FromUtf8(argv[3]));
            if (!verdict.ok) throw Error(ErrorCode::Internal, verdict.reason);
        } else {
            const RestoreResult result = RestoreSnapshot(FromUtf8(argv[2]), FromUtf8(argv[3]));
            std::printf("files=%llu\n", static_cast<unsigned long long>(result.files));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s failed: %s\n", argv[1], e.what());
        return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("seconds=%.3f\n", seconds);
    return 0;
}
