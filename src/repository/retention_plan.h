// Which snapshots to keep: the newest N plus the newest complete snapshot of
// each day, ISO week, month and year in the PC's local time, each tier until
// its count is used up, the way restic's forget policy decides it; then, when
// the drive cannot hold the next run beside them, the finest tiers thinned
// first. Pure: the snapshots, the time, the calendar and the space come in.
#pragma once

#include "os/os.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tesmora {

struct RetentionPolicy {
    int keep = 0;  // the newest N; 0 with no tier set: keep everything
    int daily = 0, weekly = 0, monthly = 0, yearly = 0;
    bool tiered() const { return daily > 0 || weekly > 0 || monthly > 0 || yearly > 0; }
    bool trims() const { return keep > 0 || tiered(); }
};

// Why a snapshot stays, as bits.
enum KeepReason : std::uint32_t {
    kKeptLast = 1u << 0,      // one of the newest N
    kKeptDaily = 1u << 1,
    kKeptWeekly = 1u << 2,
    kKeptMonthly = 1u << 3,
    kKeptYearly = 1u << 4,
    kKeptNewest = 1u << 5,    // the newest complete snapshot
    kKeptPinned = 1u << 6,    // the snapshot the run just made
    kKeptFuture = 1u << 7,    // its time lies ahead of the clock
    kKeptRecent = 1u << 8,    // incomplete, but the newest or among the newest N
    kKeptAll = 1u << 9,       // no policy trims
};

// The tiers from the finest, the order in which space thins them.
enum class Tier : std::uint8_t { Last, Daily, Weekly, Monthly, Yearly };

struct PlannedSnapshot {
    std::wstring name;
    std::uint64_t created = 0;  // UTC seconds
    bool complete = true;       // lacks no database
    bool pinned = false;
    std::uint64_t bytes = 0;
};

struct PlanDecision {
    bool keep = false;
    std::uint32_t reasons = 0;      // KeepReason bits while kept
    std::optional<Tier> thinned{};  // the tier that gave it up for space
};

// The drive's room: what the snapshots may fill in all (the free space plus
// what the planned snapshots take) and what the next run needs.
struct SpaceBudget {
    std::uint64_t capacity = 0;
    std::uint64_t needed = 0;
};

struct RetentionOutcome {
    std::vector<PlanDecision> decisions;  // one per snapshot, in the order given
    std::uint64_t missingBytes = 0;       // what still lacks after thinning; 0 when it fits
};

using LocalCalendar = std::function<os::LocalTime(std::uint64_t)>;

// Always kept: the newest complete snapshot, pinned ones, and those whose
// time lies ahead of `now` (a wrong clock), which count for no tier.
// Incomplete snapshots fill no tier; the newest snapshot, and those among
// the newest N, stay beside the tiers even when incomplete. With space, kept
// snapshots go for it from the finest tier up, never the newest complete
// one nor the oldest kept one; when even that is not enough nothing goes
// for space and missingBytes says how much lacks.
RetentionOutcome RetentionPlan(const std::vector<PlannedSnapshot>& snapshots, std::uint64_t now,
                               const LocalCalendar& calendar, const RetentionPolicy& policy,
                               const std::optional<SpaceBudget>& space = std::nullopt);

// What the next run is taken to need: the last archive's size and a tenth
// more, at least 64 MiB more.
std::uint64_t NeededForNextRun(std::uint64_t lastArchiveBytes);

// The history a policy gives at steady state with a run every
// `intervalHours`: how many copies it holds and how far back the oldest is.
struct HistoryShape {
    std::uint64_t copies = 0;
    std::uint64_t depthSeconds = 0;
};
HistoryShape ShapeOfHistory(const RetentionPolicy& policy, std::uint32_t intervalHours);

// A policy fitted to the drive: of newest 1, weekly 2, daily 3, monthly 2,
// weekly 4, daily 7, monthly 6, monthly 12, as far as the copies of an
// archive of `archiveBytes` (and a tenth more) fit in `roomBytes`; newest 1
// at least.
RetentionPolicy FitRetentionPolicy(std::uint64_t roomBytes, std::uint64_t archiveBytes, std::uint32_t intervalHours);

// "daily" ... for the log: the tier that kept or gave up a snapshot.
const wchar_t* TierName(Tier tier);

}  // namespace tesmora
