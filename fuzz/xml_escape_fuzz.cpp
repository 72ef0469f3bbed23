// XmlEscape carries program and folder paths into the task definition: no
// markup may survive it, and the XML reader must get the text back.
#include "fuzz_support.h"
#include "schedule/task_registration.h"

using namespace tesmora;

namespace {

std::optional<std::wstring> Unescape(const std::wstring& xml) {
    static const std::pair<std::wstring, wchar_t> kEntities[] = {
        {L"&amp;", L'&'}, {L"&lt;", L'<'}, {L"&gt;", L'>'}, {L"&quot;", L'"'}};
    std::wstring out;
    for (size_t i = 0; i < xml.size();) {
        if (xml[i] != L'&') {
            out.push_back(xml[i++]);
            continue;
        }
        bool known = false;
        for (const auto& [entity, c] : kEntities) {
            if (xml.compare(i, entity.size(), entity) == 0) {
                out.push_back(c);
                i += entity.size();
                known = true;
                break;
            }
        }
        if (!known) return std::nullopt;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const std::wstring text = fuzz::WideText(in, 2048);
    const std::wstring escaped = XmlEscape(text);
    FUZZ_CHECK(escaped.find_first_of(L"<>\"") == std::wstring::npos);
    const auto back = Unescape(escaped);  // also: every "&" starts an entity
    FUZZ_CHECK(back.has_value());
    FUZZ_CHECK(*back == text);
    return 0;
}
