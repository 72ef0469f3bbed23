// Hashing beside the work that reads the bytes.
#include "os/os.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace tesmora::os {
namespace {

constexpr std::size_t kPiece = 1 << 20;  // bytes handed over at once
constexpr std::size_t kQueued = 8;       // pieces that may wait

}  // namespace

struct BackgroundSha256::Shared {
    Sha256 hash;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> pieces;
    bool last = false;  // no piece follows those queued
    bool stop = false;  // the owner is gone: the rest is not wanted
    bool done = false;  // the digest or the failure is there
    std::exception_ptr failure;
    std::string digest;
    std::thread thread;

    void run() {
        std::exception_ptr failed;
        std::string result;
        try {
            for (;;) {
                std::string piece;
                {
                    std::unique_lock lock(mutex);
                    changed.wait(lock, [&] { return stop || last || !pieces.empty(); });
                    if (stop) return;
                    if (pieces.empty()) break;
                    piece = std::move(pieces.front());
                    pieces.pop_front();
                }
                changed.notify_all();
                hash.update(piece.data(), piece.size());
            }
            result = hash.finish();
        } catch (...) {
            failed = std::current_exception();
        }
        {
            std::lock_guard lock(mutex);
            failure = failed;
            digest = std::move(result);
            done = true;
        }
        changed.notify_all();
    }
};

BackgroundSha256::BackgroundSha256() : shared_(std::make_unique<Shared>()) {
    filling_.reserve(kPiece);
    shared_->thread = std::thread([shared = shared_.get()] { shared->run(); });
}

BackgroundSha256::~BackgroundSha256() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stop = true;
    }
    shared_->changed.notify_all();
    shared_->thread.join();
}

void BackgroundSha256::update(const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const std::size_t take = std::min(size, kPiece - filling_.size());
        filling_.append(bytes, take);
        bytes += take;
        size -= take;
        if (filling_.size() == kPiece) hand(false);
    }
}

void BackgroundSha256::hand(bool last) {
    Shared& shared = *shared_;
    {
        std::unique_lock lock(shared.mutex);
        shared.changed.wait(lock, [&] { return shared.done || shared.pieces.size() < kQueued; });
        if (shared.failure) std::rethrow_exception(shared.failure);
        if (!filling_.empty()) shared.pieces.push_back(std::move(filling_));
        shared.last = last;
    }
    shared.changed.notify_all();
    filling_ = std::string();
    if (!last) filling_.reserve(kPiece);
}

std::string BackgroundSha256::finish() {
    hand(true);
    std::unique_lock lock(shared_->mutex);
    shared_->changed.wait(lock, [&] { return shared_->done; });
    if (shared_->failure) std::rethrow_exception(shared_->failure);
    return shared_->digest;
}

}  // namespace tesmora::os
