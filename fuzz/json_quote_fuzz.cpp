// JsonQuote's output must be one valid JSON string whose value is exactly the
// text's UTF-8: the server-side program reads the source paths from it.
#include "os/text.h"
#include "fuzz_support.h"

using namespace tesmora;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const std::wstring text = fuzz::WideText(in, 4096);
    const std::string quoted = JsonQuote(text);
    size_t at = 0;
    const auto value = fuzz::ReadJsonString(quoted, at);
    FUZZ_CHECK(value.has_value());
    FUZZ_CHECK(at == quoted.size());
    FUZZ_CHECK(*value == ToUtf8(text));
    return 0;
}
