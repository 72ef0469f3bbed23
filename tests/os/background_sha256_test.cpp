#include "os/os.h"

#include <gtest/gtest.h>

#include <string>

namespace tesmora {
namespace {

std::string Digest(const std::string& bytes) {
    os::Sha256 hash;
    hash.update(bytes.data(), bytes.size());
    return hash.finish();
}

TEST(BackgroundSha256, GivesTheDigestOfEveryByteWhateverTheStepsAndTheQueue) {
    // More than the queue holds, in steps that straddle the pieces handed over.
    std::string bytes(23 << 20 | 12345, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 2654435761u >> 13);
    for (const std::size_t step : {std::size_t{1} << 20, std::size_t{65537}, bytes.size()}) {
        os::BackgroundSha256 hash;
        for (std::size_t at = 0; at < bytes.size(); at += step) {
            hash.update(bytes.data() + at, std::min(step, bytes.size() - at));
        }
        EXPECT_EQ(hash.finish(), Digest(bytes)) << step;
    }
    os::BackgroundSha256 empty;
    EXPECT_EQ(empty.finish(), Digest(""));
    // An owner that stops early, with pieces still queued, is not held up.
    os::BackgroundSha256 abandoned;
    abandoned.update(bytes.data(), bytes.size());
}

}  // namespace
}  // namespace tesmora
