#include "archive/stream_check.h"

#include <algorithm>
#include <cstring>

namespace tesmora {
namespace {

// How far the transfer may run ahead of the check before it waits.
constexpr std::size_t kMostQueued = 16 << 20;

}  // namespace

class StreamCheck::Source final : public ByteSource {
public:
    explicit Source(StreamCheck& owner) : owner_(owner) {}
    std::size_t read(char* buffer, std::size_t size) override { return owner_.take(buffer, size); }

private:
    StreamCheck& owner_;
};

StreamCheck::StreamCheck() : thread_([this] { check(); }) {}

StreamCheck::~StreamCheck() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        abandoned_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void StreamCheck::check() {
    try {
        Source source(*this);
        ArchiveSummary summary = CheckArchive(source);
        std::lock_guard<std::mutex> lock(mutex_);
        summary_ = std::move(summary);
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        failure_ = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    chunks_.clear();
    queued_ = 0;
    changed_.notify_all();
}

std::size_t StreamCheck::take(char* buffer, std::size_t size) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !chunks_.empty() || ended_ || abandoned_; });
    if (abandoned_ || chunks_.empty()) return 0;
    const std::string& front = chunks_.front();
    const std::size_t count = std::min(size, front.size() - taken_);
    std::memcpy(buffer, front.data() + taken_, count);
    taken_ += count;
    queued_ -= count;
    if (taken_ == front.size()) {
        chunks_.pop_front();
        taken_ = 0;
    }
    changed_.notify_all();
    return count;
}

void StreamCheck::feed(std::string_view bytes) {
    if (bytes.empty()) return;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return queued_ < kMostQueued || done_; });
    if (done_) return;  // the check has its verdict; the bytes change nothing
    chunks_.emplace_back(bytes);
    queued_ += bytes.size();
    changed_.notify_all();
}

bool StreamCheck::failed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return done_ && failure_ != nullptr;
}

ArchiveSummary StreamCheck::finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
    }
    changed_.notify_all();
    thread_.join();
    if (failure_) std::rethrow_exception(failure_);
    return summary_;
}

}  // namespace tesmora
