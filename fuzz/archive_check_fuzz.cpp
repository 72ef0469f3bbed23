// CheckArchive over any bytes: whatever a server, a cable or a drive hands
// it, the reader ends with a verdict (a summary or ArchiveDamage) and never
// crashes, hangs or reads out of bounds. The manifest parser rides along.
#include "archive/archive_check.h"

#include <cstdint>
#include <string_view>

using namespace tesmora;

namespace {

class BytesSource final : public ByteSource {
public:
    explicit BytesSource(std::string_view bytes) : bytes_(bytes) {}
    std::size_t read(char* buffer, std::size_t size) override {
        const std::size_t count = std::min(size, bytes_.size());
        bytes_.copy(buffer, count);
        bytes_.remove_prefix(count);
        return count;
    }

private:
    std::string_view bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    BytesSource source(bytes);
    try {
        CheckArchive(source);
    } catch (const ArchiveDamage&) {
    }
    try {
        ParseManifest(bytes);
    } catch (const ArchiveDamage&) {
    }
    return 0;
}
