// What the server program says on standard error: progress lines, which start
// with the byte 0x1E and so can never be taken for error text, and anything
// else, which is kept for the error message.
//
//   0x1E "progress" SP phase SP bytes-read SP planned-total LF
//
// The phase is "discovery", "database" or "archive"; the planned total is 0
// while the discovery pass has not yet summed the sources, and the count is
// then of the entries listed. A database's copy and check add twice its size
// to both. A line goes out each second even while nothing moves.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tesmora {

struct ServerProgress {
    std::string phase;
    std::uint64_t read = 0;   // logical bytes of the sources read so far
    std::uint64_t total = 0;  // planned logical bytes; 0 while unknown
};

class ServerErrorStream {
public:
    static constexpr std::size_t kKeptBytes = 32768;

    // Takes the next bytes as they arrived, in pieces of any size; calls
    // `progress` for each progress line completed by them.
    void add(std::string_view bytes, const std::function<void(const ServerProgress&)>& progress);

    // The error text: everything but the progress lines, its first 32 768 bytes.
    const std::string& text() const { return kept_; }

private:
    std::string kept_;
    std::string record_;  // a progress line still arriving
    bool inRecord_ = false;
};

// A progress line's content without its marker and line feed; false when it
// is not one.
bool ParseProgressLine(std::string_view line, ServerProgress& progress);

// Tells a server at work from one that is only alive: progress lines go out
// each second whatever happens, so only a line whose phase or counters differ
// from the previous one's is a sign of work, as are archive bytes and error
// text. A server held up for the idle limit, by a lock say, is then idle.
class HeartbeatWatch {
public:
    HeartbeatWatch(std::uint64_t start, std::uint64_t idleLimit) : lastWork_(start), idleLimit_(idleLimit) {}

    // True when the line's phase or counters differ from the previous line's.
    bool moved(const ServerProgress& line);
    // Work seen at `now`: archive bytes, error text or a line that moved.
    void work(std::uint64_t now) { lastWork_ = now; }
    // True once no work was seen for longer than the idle limit.
    bool idle(std::uint64_t now) const { return now - lastWork_ > idleLimit_; }

private:
    std::uint64_t lastWork_;
    std::uint64_t idleLimit_;
    bool heard_ = false;
    ServerProgress last_;
};

}  // namespace tesmora
