// Proves an archive while it arrives, on a thread of its own, so the proof
// costs little wall time: the client mostly waits for the server.
#pragma once

#include "archive/archive_check.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace tesmora {

class StreamCheck {
public:
    StreamCheck();
    // An unfinished check is abandoned; the thread ends before this returns.
    ~StreamCheck();
    StreamCheck(const StreamCheck&) = delete;
    StreamCheck& operator=(const StreamCheck&) = delete;

    // Hands over a copy of the next bytes; waits while far ahead of the check.
    void feed(std::string_view bytes);

    // True once the bytes so far cannot begin a whole archive: there is no
    // need to wait for the rest.
    bool failed() const;

    // Marks the end of the stream, waits for the check and returns what the
    // archive holds. Raises ArchiveDamage with the reason.
    ArchiveSummary finish();

private:
    class Source;
    void check();
    std::size_t take(char* buffer, std::size_t size);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> chunks_;
    std::size_t taken_ = 0;   // of the front chunk
    std::size_t queued_ = 0;  // bytes waiting
    bool ended_ = false;
    bool abandoned_ = false;
    bool done_ = false;
    std::exception_ptr failure_;
    ArchiveSummary summary_;
    std::thread thread_;
};

}  // namespace tesmora
