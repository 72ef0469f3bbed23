#include "remote/server_output.h"

#include <charconv>
#include <vector>

namespace tesmora {
namespace {

constexpr char kRecordMark = '\x1e';
// Far longer than any progress line; a marker without its line end ends here.
constexpr std::size_t kLongestRecord = 256;

bool ParseCount(std::string_view text, std::uint64_t& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

}  // namespace

bool ParseProgressLine(std::string_view line, ServerProgress& progress) {
    std::vector<std::string_view> fields;
    for (std::size_t start = 0; start <= line.size();) {
        const std::size_t end = std::min(line.find(' ', start), line.size());
        fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    ServerProgress parsed;
    if (fields.size() != 4 || fields[0] != "progress" || fields[1].empty()) return false;
    if (!ParseCount(fields[2], parsed.read) || !ParseCount(fields[3], parsed.total)) return false;
    parsed.phase = std::string(fields[1]);
    progress = std::move(parsed);
    return true;
}

bool HeartbeatWatch::moved(const ServerProgress& line) {
    const bool moved = !heard_ || line.phase != last_.phase || line.read != last_.read || line.total != last_.total;
    heard_ = true;
    last_ = line;
    return moved;
}

void ServerErrorStream::add(std::string_view bytes, const std::function<void(const ServerProgress&)>& progress) {
    for (const char c : bytes) {
        if (inRecord_) {
            if (c == '\n' || record_.size() >= kLongestRecord) {
                ServerProgress parsed;
                if (c == '\n' && progress && ParseProgressLine(record_, parsed)) progress(parsed);
                inRecord_ = false;
                record_.clear();
            } else {
                record_ += c;
            }
        } else if (c == kRecordMark) {
            inRecord_ = true;
        } else if (kept_.size() < kKeptBytes) {
            kept_ += c;
        }
    }
}

}  // namespace tesmora
