// The small modal dialogs that handle secrets: the passphrase prompt and the
// recovery sheet. Both are made in memory from a dialog template, so the
// program carries no resource script; what is typed or shown lives only in
// the controls and in the strings handed back, which the callers wipe.
#include "config/credentials.h"
#include "config/durable_file.h"
#include "os/text.h"
#include "ui/win/window_state.h"

#include <shobjidl.h>

#include <initializer_list>
#include <memory>

namespace tesmora::ui {
namespace {

enum DialogItem : WORD { kPromptEdit = 200, kSheetText = 210, kSheetSave = 211, kSheetKept = 212 };

// An in-memory DLGTEMPLATE with its items, in dialog units.
class DialogTemplate {
public:
    DialogTemplate(const wchar_t* title, short width, short height, WORD items) {
        dword(DS_MODALFRAME | DS_SETFONT | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU);
        dword(0);
        words({items, 0, 0, static_cast<WORD>(width), static_cast<WORD>(height), 0, 0});
        text(title);
        form_.push_back(9);
        text(L"Segoe UI");
    }

    // kind: 0x0080 button, 0x0081 edit, 0x0082 static.
    void item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD kind, const wchar_t* title) {
        if (form_.size() % 2 != 0) form_.push_back(0);  // items start on a DWORD
        dword(style | WS_CHILD | WS_VISIBLE);
        dword(0);
        words({static_cast<WORD>(x), static_cast<WORD>(y), static_cast<WORD>(cx), static_cast<WORD>(cy), id, 0xFFFF,
               kind});
        text(title);
        form_.push_back(0);
    }

    INT_PTR show(HWND owner, DLGPROC procedure, void* state) const {
        return DialogBoxIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(form_.data()),
                                       owner, procedure, reinterpret_cast<LPARAM>(state));
    }

private:
    void words(std::initializer_list<WORD> values) {
        for (const WORD value : values) form_.push_back(value);
    }
    void dword(DWORD value) { words({LOWORD(value), HIWORD(value)}); }
    void text(const wchar_t* value) {
        for (; *value != L'\0'; ++value) form_.push_back(static_cast<WORD>(*value));
        form_.push_back(0);
    }

    std::vector<WORD> form_;
};

std::wstring ControlText(HWND control) {
    std::wstring value(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    value.resize(static_cast<size_t>(GetWindowTextW(control, value.data(), static_cast<int>(value.size()))));
    return value;
}

template <typename State>
State* DialogState(HWND dialog, UINT message, LPARAM lParam) {
    if (message == WM_INITDIALOG) SetWindowLongPtrW(dialog, DWLP_USER, lParam);
    return reinterpret_cast<State*>(GetWindowLongPtrW(dialog, DWLP_USER));
}

INT_PTR CALLBACK PromptProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* typed = DialogState<std::optional<std::string>>(dialog, message, lParam);
    if (message == WM_INITDIALOG) return TRUE;
    if (message != WM_COMMAND || (LOWORD(wParam) != IDOK && LOWORD(wParam) != IDCANCEL)) return FALSE;
    if (LOWORD(wParam) == IDOK) {
        std::wstring value = ControlText(GetDlgItem(dialog, kPromptEdit));
        *typed = ToUtf8(value);
        WipeString(value);
    }
    SetDlgItemTextW(dialog, kPromptEdit, L"");
    EndDialog(dialog, LOWORD(wParam));
    return TRUE;
}

struct SheetState {
    const std::string* sheet;
    bool kept = false;
};

// Asks where to save the sheet with the standard save dialog.
std::wstring PickSheetFile(HWND owner) {
    IFileSaveDialog* dialog = nullptr;
    if (FAILED(CoCreateInstance(CLSID_FileSaveDialog, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&dialog)))) return {};
    std::unique_ptr<IFileSaveDialog, void (*)(IFileSaveDialog*)> owned(dialog, [](IFileSaveDialog* d) { d->Release(); });
    dialog->SetTitle(L"Сохранить лист восстановления");
    dialog->SetFileName(L"Tesmora-лист-восстановления.txt");
    dialog->SetDefaultExtension(L"txt");
    return ChosenPath(dialog, owner);
}

INT_PTR CALLBACK SheetProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = DialogState<SheetState>(dialog, message, lParam);
    if (message == WM_INITDIALOG) {
        std::wstring shown = FromUtf8(*state->sheet);
        SetDlgItemTextW(dialog, kSheetText, shown.c_str());
        WipeString(shown);
        EnableWindow(GetDlgItem(dialog, IDOK), FALSE);
        // The focus on the confirmation, not on the sheet, which would show it all selected.
        SetFocus(GetDlgItem(dialog, kSheetKept));
        return FALSE;
    }
    if (message != WM_COMMAND) return FALSE;
    switch (LOWORD(wParam)) {
        case kSheetKept:
            EnableWindow(GetDlgItem(dialog, IDOK), IsDlgButtonChecked(dialog, kSheetKept) == BST_CHECKED);
            return TRUE;
        case kSheetSave:
            try {
                const std::wstring file = PickSheetFile(dialog);
                if (!file.empty()) WriteWholeFile(file, *state->sheet);
            } catch (...) {
                ShowCurrentError(dialog);
            }
            return TRUE;
        case IDOK:
            // Setup goes on only once the person says the sheet is kept.
            if (IsDlgButtonChecked(dialog, kSheetKept) != BST_CHECKED) return TRUE;
            state->kept = true;
            [[fallthrough]];
        case IDCANCEL:
            SetDlgItemTextW(dialog, kSheetText, L"");
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

std::optional<std::string> AskPassphrase(HWND owner, const wchar_t* title, const wchar_t* prompt) {
    DialogTemplate form(title, 250, 86, 4);
    form.item(0, 8, 8, 234, 26, 0, 0x0082, prompt);
    form.item(ES_PASSWORD | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 8, 38, 234, 14, kPromptEdit, 0x0081, L"");
    form.item(BS_DEFPUSHBUTTON | WS_TABSTOP, 130, 62, 54, 16, IDOK, 0x0080, L"OK");
    form.item(BS_PUSHBUTTON | WS_TABSTOP, 188, 62, 54, 16, IDCANCEL, 0x0080, L"Отмена");
    std::optional<std::string> typed;
    form.show(owner, PromptProcedure, &typed);
    return typed;
}

bool ConfirmRecoverySheet(HWND owner, const std::string& sheet) {
    DialogTemplate form(L"Лист восстановления", 420, 300, 6);
    form.item(0, 8, 6, 404, 26, 0, 0x0082,
              L"Сохраните или распечатайте этот лист и храните его отдельно от диска. Если потерять и лист, и "
              L"пароль к identity.age, зашифрованные копии не откроет никто.");
    form.item(ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL | WS_BORDER | WS_TABSTOP, 8, 36, 404, 196,
              kSheetText, 0x0081, L"");
    form.item(BS_PUSHBUTTON | WS_TABSTOP, 8, 238, 120, 16, kSheetSave, 0x0080, L"Сохранить в файл\u2026");
    form.item(BS_AUTOCHECKBOX | WS_TABSTOP, 8, 260, 404, 14, kSheetKept, 0x0080,
              L"Я сохранил или распечатал лист восстановления");
    form.item(BS_DEFPUSHBUTTON | WS_TABSTOP, 300, 280, 54, 16, IDOK, 0x0080, L"Готово");
    form.item(BS_PUSHBUTTON | WS_TABSTOP, 358, 280, 54, 16, IDCANCEL, 0x0080, L"Отмена");
    SheetState state{&sheet};
    form.show(owner, SheetProcedure, &state);
    return state.kept;
}

PassphraseSource PassphraseFromWindow(HWND window) {
    return [window]() -> std::optional<std::string> {
        // Sent, not posted: the worker waits while the window asks.
        std::optional<std::string> typed;
        SendMessageW(window, kPassphraseMessage, reinterpret_cast<WPARAM>(&typed), 0);
        return typed;
    };
}

std::optional<std::string> AskIdentityPassphrase(HWND owner) {
    return AskPassphrase(owner, L"Пароль к identity.age",
                         L"На этом ПК нет ключа шифрования копий. Введите пароль к identity.age (он нужен один раз):");
}

}  // namespace tesmora::ui
