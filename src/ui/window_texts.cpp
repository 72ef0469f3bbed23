#include "ui/window_texts.h"

#include "config/schedule_state.h"
#include "config/time_stamp.h"
#include "notices/notice_rules.h"
#include "os/text.h"

#include <algorithm>
#include <cmath>
#include <cwchar>

namespace tesmora::ui {
namespace {

constexpr std::uint64_t kDay = 86400;
// The rate counts as steady after this long with a known total.
constexpr double kSteadyAfter = 5.0;

// "512 КиБ", "1,5 МиБ", "2,0 ГиБ", with the decimal comma of Russian text.
std::wstring Size(std::uint64_t bytes) {
    wchar_t text[32];
    if (bytes < (1ULL << 20)) {
        std::swprintf(text, 32, L"%llu КиБ", static_cast<unsigned long long>((bytes + 1023) / 1024));
    } else {
        const bool gibibytes = bytes >= (1ULL << 30);
        std::swprintf(text, 32, gibibytes ? L"%.1f ГиБ" : L"%.1f МиБ",
                      static_cast<double>(bytes) / (gibibytes ? 1073741824.0 : 1048576.0));
    }
    std::wstring size = text;
    std::replace(size.begin(), size.end(), L'.', L',');
    return size;
}

}  // namespace

std::optional<LastFailure> FindLastFailure(const std::vector<LogLine>& log) {
    std::optional<LastFailure> failure;
    for (const LogLine& line : log) {
        if (line.kind == LogKind::Success) {
            failure.reset();
        } else if (line.kind == LogKind::Incomplete) {
            if (failure && failure->incomplete) {
                failure->message += L"; " + line.detail;
            } else if (!failure) {
                failure = LastFailure{line.time, line.detail, true};
            }
        } else if (line.kind == LogKind::Failed &&
                   // A run the person cancelled is no failure to warn about.
                   line.detail.rfind(FromUtf8(ErrorCodeText(ErrorCode::Cancelled)), 0) != 0) {
            failure = LastFailure{line.time, line.detail};
        }
    }
    return failure;
}

std::wstring LoginMethodText(const LogLine& login) {
    const std::wstring& method = login.subject;
    std::wstring text = method == L"key"                    ? L"по ключу"
                        : method == L"keyboard-interactive" ? L"по паролю (keyboard-interactive)"
                        : method == L"password"             ? L"по паролю"
                                                            : L"без пароля и ключа";
    if (!login.ok) text += L"; сервер отклонил сохранённый ключ";
    return text;
}

std::wstring LastLoginText(const std::vector<LogLine>& log) {
    for (auto line = log.rbegin(); line != log.rend(); ++line) {
        if (line->kind == LogKind::Login) return L"Последний вход: " + LoginMethodText(*line);
    }
    return {};
}

Summary ScheduleSummary(std::uint64_t now, std::uint64_t lastSuccess, std::int32_t hours,
                        const std::optional<LastFailure>& failure) {
    Summary summary{ScheduleSummaryText(lastSuccess, hours), false};
    if (failure) {
        summary.text += (failure->incomplete ? L"\nНеполная копия " : L"\nОшибка ") + LocalTimeText(failure->time) +
                        L": " + failure->message;
        summary.alert = true;
    }
    if (IsOverdue(now, lastSuccess, hours)) {
        summary.text += L"\nКопия просрочена: последняя " + std::to_wstring((now - lastSuccess) / kDay) + L" дн. назад";
        summary.alert = true;
    }
    return summary;
}

ProgressReading ProgressEstimate::transfer(const ServerProgress& server, double now) {
    if (server.total == 0) return {false, 0, server.phase == "discovery" ? L"Подсчёт файлов…" : L""};
    if (start_ < 0) {
        start_ = now;
        startRead_ = server.read;
    }
    ProgressReading reading;
    reading.known = true;
    reading.percent = static_cast<int>(std::min<std::uint64_t>(100, server.read * 100 / server.total));
    reading.caption = std::to_wstring(reading.percent) + L" %";
    const double elapsed = now - start_;
    if (elapsed >= kSteadyAfter && server.read > startRead_ && server.read < server.total) {
        const double rate = static_cast<double>(server.read - startRead_) / elapsed;
        const double left = static_cast<double>(server.total - server.read) / rate;
        reading.caption += left < 60 ? L", осталось меньше минуты"
                                     : L", осталось ~" + std::to_wstring(static_cast<long>(std::ceil(left / 60))) + L" мин";
    }
    if (server.phase == "database") reading.caption += L", копия базы данных";
    return reading;
}

ProgressReading ProgressEstimate::verification(std::uint64_t done, std::uint64_t total) {
    const int percent = total == 0 ? 100 : static_cast<int>(std::min<std::uint64_t>(100, done * 100 / total));
    return {true, percent, L"Проверка копии: " + std::to_wstring(percent) + L" %"};
}

std::vector<std::wstring> SnapshotRow(const SnapshotInfo& s) {
    std::wstring state;
    switch (s.state) {
        case SnapshotState::Verified: state = L"проверена " + LocalTimeText(s.stateTime); break;
        case SnapshotState::Unverified: state = L"не проверена"; break;
        case SnapshotState::Damaged: state = L"повреждена: " + s.reason; break;
        case SnapshotState::Unfinished: state = L"не завершена"; break;
    }
    if (!s.missed.empty()) state += L", неполная";
    if (s.encrypted) state += L", зашифрована";
    if (!s.own) state += L" (другая настройка)";
    // An encrypted snapshot keeps its counts inside the archive.
    return {s.created == 0 ? s.name : LocalTimeText(s.created), Size(s.archiveBytes),
            s.files ? std::to_wstring(*s.files) + L" / " + std::to_wstring(s.databases.value_or(0)) + L" / " +
                          std::to_wstring(s.dumps.value_or(0))
                    : s.encrypted ? L"(внутри архива)" : L"—",
            state};
}

namespace {

// The Russian form of a count: 1 копия, 2 копии, 5 копий.
std::wstring Counted(std::uint64_t n, const wchar_t* one, const wchar_t* few, const wchar_t* many) {
    const std::uint64_t tens = n % 100, units = n % 10;
    const wchar_t* form = tens >= 11 && tens <= 14 ? many : units == 1 ? one : units >= 2 && units <= 4 ? few : many;
    return std::to_wstring(n) + L" " + form;
}

}  // namespace

std::wstring HistoryDepthText(const HistoryShape& shape, std::uint64_t archiveBytes) {
    const std::uint64_t days = (shape.depthSeconds + 43200) / 86400;
    std::wstring depth;
    if (days >= 60) {
        depth = Counted((days * 10 + 152) / 304, L"месяц", L"месяца", L"месяцев");
    } else if (days >= 14) {
        depth = Counted((days + 3) / 7, L"неделя", L"недели", L"недель");
    } else if (days >= 1) {
        depth = Counted(days, L"день", L"дня", L"дней");
    } else {
        depth = Counted((shape.depthSeconds + 1800) / 3600, L"час", L"часа", L"часов");
    }
    const std::uint64_t bytes = shape.copies * archiveBytes;
    const std::uint64_t tenths = (bytes + 50000000) / 100000000;  // of a GB
    const std::wstring size = tenths >= 100 ? std::to_wstring((tenths + 5) / 10) + L" ГБ"
                                            : std::to_wstring(tenths / 10) + L"," + std::to_wstring(tenths % 10) + L" ГБ";
    return L"\u2248 " + depth + L" истории, " + Counted(shape.copies, L"копия", L"копии", L"копий") + L", " + size;
}

std::wstring ErrorText(ErrorKind kind, std::string_view message) {
    return notices::FailureReason(kind) + L"\n" + FromUtf8(message);
}

std::wstring WithCrLf(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r')) out += L'\r';
        out += text[i];
    }
    return out;
}

}  // namespace tesmora::ui
