// The settings loader over arbitrary settings.ini bytes, and settings that
// pass validation written and loaded again. The file lives in one folder per
// process, in memory where the machine has /dev/shm.
#include "config/ini_file.h"
#include "config/layout.h"
#include "config/settings.h"
#include "fuzz_support.h"
#include "os/os.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace tesmora;

namespace {

struct Folder {
    std::filesystem::path root;
    std::filesystem::path file;
    Folder() {
        const std::filesystem::path base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
        root = base / ("tesmora-settings-fuzz-" + std::to_string(getpid()));
        std::filesystem::create_directories(root / layout::kProgramFolder);
        file = root / layout::kProgramFolder / layout::kSettingsFile;
    }
    ~Folder() {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
};

const Folder& TheFolder() {
    static const Folder folder;
    return folder;
}

void Write(const std::string& bytes) {
    std::ofstream out(TheFolder().file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool Blank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

// What the settings window can hand over: trimmed, one line, not wrapped in
// quotes (the INI format strips one pair), short enough for the reader.
bool FormValue(const std::wstring& v) {
    if (v.size() > 32767 || v.find_first_of(L"\r\n") != std::wstring::npos) return false;
    if (!v.empty() && (Blank(v.front()) || Blank(v.back()))) return false;
    if (v.size() >= 2 && (v.front() == L'"' || v.front() == L'\'') && v.back() == v.front()) return false;
    for (wchar_t w : v) {
        const auto c = static_cast<char32_t>(w);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    }
    return true;
}

// Trimmed and on one line, as the settings window hands texts over.
std::wstring FormText(std::wstring t) {
    for (wchar_t& c : t) {
        const auto u = static_cast<char32_t>(c);
        if (c == L'\r' || c == L'\n') c = L' ';
        if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) c = L'\uFFFD';
    }
    while (!t.empty() && Blank(t.back())) t.pop_back();
    size_t begin = 0;
    while (begin < t.size() && Blank(t[begin])) ++begin;
    return t.substr(begin);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const std::wstring root = FromUtf8(TheFolder().root.string());

    // Whatever the file holds, loading never fails.
    Write(std::string(reinterpret_cast<const char*>(data), size));
    const BackupSettings loaded = LoadSettings(root);
    FUZZ_CHECK(loaded.drive_root == root);
    FUZZ_CHECK(!loaded.paths.empty() && loaded.paths.size() <= 100);
    for (const auto* text : {&loaded.id, &loaded.host, &loaded.user, &loaded.device, &loaded.fingerprint}) {
        FUZZ_CHECK(text->size() <= 32767 && text->find(L'\n') == std::wstring::npos);
    }

    // Valid settings survive a save and a load unchanged. The texts are made
    // the way the settings window makes them, so that most pass validation.
    FuzzedDataProvider in(data, size);
    const auto text = [&](const wchar_t* ifEmpty) {
        std::wstring t = FormText(fuzz::WideText(in, 64));
        return t.empty() ? std::wstring(ifEmpty) : t;
    };
    BackupSettings s;
    s.drive_root = root;
    s.id = text(L"{0b6c}");
    s.device = text(L"");
    s.host = text(L"h");
    s.user = text(L"u");
    s.fingerprint = text(L"");
    // Around the valid ranges: the loader's own number parsing had its turn above.
    s.port = in.ConsumeIntegralInRange<std::int32_t>(0, 65536);
    s.hours = in.ConsumeIntegralInRange<std::int32_t>(0, 8761);
    s.keep = in.ConsumeIntegralInRange<std::int32_t>(-1, 366);
    s.automatic = in.ConsumeBool();
    s.paths.resize(in.ConsumeIntegralInRange<size_t>(0, 5));
    for (auto& path : s.paths) path = (in.ConsumeBool() ? L"" : L"/") + text(L"");
    try {
        ValidateSettings(s);
    } catch (const std::exception&) {
        return 0;
    }
    bool plain = FormValue(s.id) && FormValue(s.device) && FormValue(s.host) && FormValue(s.user) &&
                 FormValue(s.fingerprint);
    for (const auto& path : s.paths) plain = plain && FormValue(path);
    if (!plain) return 0;
    Write(BuildIniContent(SettingsEntries(s)));
    const BackupSettings back = LoadSettings(root);
    FUZZ_CHECK(back.id == s.id && back.device == s.device && back.host == s.host && back.user == s.user);
    FUZZ_CHECK(back.fingerprint == s.fingerprint);
    FUZZ_CHECK(back.port == s.port && back.hours == s.hours && back.keep == s.keep && back.automatic == s.automatic);
    FUZZ_CHECK(back.paths == s.paths);
    return 0;
}
