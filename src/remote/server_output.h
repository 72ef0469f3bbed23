// What the server program says on standard error: progress lines, which start
// with the byte 0x1E and so can never be taken for error text, and anything
// else, which is kept for the error message.
//
//   0x1E "progress" SP phase SP bytes-read SP planned-total LF
//
// The phase is "discovery", "database" or "archive"; the planned total is 0
// while the discovery pass has not yet summed the sources.
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

}  // namespace tesmora
