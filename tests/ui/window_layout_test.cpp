// The fixed texts of the windows fit their controls at 96 and 144 DPI in the
// font the windows draw them with: a label cut off hides what to type. Under
// Wine the font is Segoe UI's stand-in, which runs wider than Segoe UI.
#ifdef _WIN32
#include "os/text.h"
#include "ui/win/window_state.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace tesmora::ui {
namespace {

// The width a control leaves its text: a push button loses its frame and
// focus rectangle, a check box its box and the gap after it.
int TextRoom(const ControlSpec& control, UINT dpi) {
    const int width = Scaled(control.width, dpi);
    if (std::wstring_view(control.className) != L"BUTTON") return width;
    return width - Scaled((control.extraStyle & BS_TYPEMASK) == BS_AUTOCHECKBOX ? 20 : 8, dpi);
}

TEST(WindowLayout, EveryFixedTextFitsItsControlAt96And144Dpi) {
    HDC dc = CreateCompatibleDC(nullptr);
    ASSERT_NE(dc, nullptr);
    for (const UINT dpi : {96u, 144u}) {
        const HGDIOBJ previous = SelectObject(dc, UiFont(dpi));
        for (const auto* table : {&SettingsControls(), &SnapshotsControls()}) {
            for (const ControlSpec& control : *table) {
                const std::wstring_view kind(control.className);
                if (control.text == nullptr || (kind != L"STATIC" && kind != L"BUTTON")) continue;
                // As the controls draw it: a label wraps at words, a button keeps one line.
                RECT needed{0, 0, TextRoom(control, dpi), 0};
                DrawTextW(dc, control.text, -1, &needed,
                          DT_CALCRECT | (kind == L"STATIC" ? DT_WORDBREAK | DT_EXPANDTABS : DT_SINGLELINE));
                const std::string what = std::to_string(dpi) + " DPI: " + ToUtf8(control.text);
                EXPECT_LE(needed.right, TextRoom(control, dpi)) << what;
                EXPECT_LE(needed.bottom, Scaled(control.height, dpi)) << what;
            }
        }
        SelectObject(dc, previous);
    }
    DeleteDC(dc);
    DeleteUiFonts();
}

}  // namespace
}  // namespace tesmora::ui
#endif
