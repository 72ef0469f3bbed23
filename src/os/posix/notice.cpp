// Notices in the native build, which has no notification area: the notice
// goes to standard error, as this twin's error message does, and counts as
// shown. Nothing waits and nothing is started on a click.
#include "os/os.h"
#include "os/text.h"

#include <cstdio>

namespace tesmora::os {

bool ShowNotice(const std::wstring& title, const std::wstring& text, const std::wstring&,
                std::chrono::milliseconds) {
    std::fprintf(stderr, "%s: %s\n", ToUtf8(title).c_str(), ToUtf8(text).c_str());
    return true;
}

}  // namespace tesmora::os
