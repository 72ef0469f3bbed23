#include "notices/notice_rules.h"

#include "config/schedule_state.h"
#include "os/text.h"

#include <array>
#include <utility>

namespace tesmora::notices {
namespace {

constexpr std::uint64_t kDay = 86400;
// A notice time further ahead than this means the clock was set back.
constexpr std::uint64_t kClockSkewAllowance = 300;
// The most text a notification area balloon takes, without its terminator.
constexpr std::size_t kLongestText = 255;

constexpr char kBusyMessage[] = "A backup/settings operation is already running";

// The program's own messages, matched by their beginning (some go on with
// details), and what they mean for someone who never saw the code.
constexpr std::array<std::pair<std::string_view, const wchar_t*>, 30> kReasons{{
    {"Selected device is missing or its identity changed", L"Диск для копий не найден или это другой диск."},
    {"Ambiguous device identity", L"Подключено несколько похожих дисков; оставьте только диск для копий."},
    {"Less than 512 MiB free", L"На диске для копий меньше 512 МиБ свободного места."},
    {"Destination full, removed or write failed", L"Диск для копий заполнен, отключён или не принимает запись."},
    {"Cannot create archive on selected device", L"Диск для копий не принимает запись."},
    {"Destination flush failed", L"Копию не удалось записать на диск до конца."},
    {"Device changed during transfer", L"Диск для копий отключили во время копирования."},
    {"Backup folder is redirected", L"Папка копий на диске оказалась ссылкой; ничего не записано."},
    {"Staging directory is redirected", L"В папке копий посторонняя ссылка; копирование остановлено."},
    {"Redirected staging entry", L"В папке копий посторонняя ссылка; копирование остановлено."},
    {"Unknown file in staging directory", L"В папке копий посторонние файлы; копирование остановлено."},
    {"Unrecognized staging directory", L"В папке копий посторонние файлы; копирование остановлено."},
    {"Host lookup failed", L"Адрес сервера не найден; проверьте подключение к интернету."},
    {"SSH connection failed/timeout", L"Сервер не отвечает."},
    {"SSH HOST KEY MISMATCH", L"Ключ сервера изменился; копии остановлены до проверки ключа в настройках."},
    {"SSH password authentication failed", L"Сервер не принял сохранённый пароль."},
    {"Enter and save the VDS password", L"Пароль сервера не сохранён для этой учётной записи Windows."},
    {"SSH handshake failed", L"Не удалось установить защищённое соединение с сервером."},
    {"SSH channel could not open", L"Связь с сервером прервалась."},
    {"SSH archive read failed", L"Связь с сервером прервалась."},
    {"SSH error stream failed", L"Связь с сервером прервалась."},
    {"Remote backup did not close cleanly", L"Связь с сервером прервалась."},
    {"Backup transfer timeout", L"Сервер перестал передавать данные."},
    {"Remote Python launch failed", L"На сервере не запускается Python 3."},
    {"Remote backup failed", L"Сервер не смог собрать архив сайта."},
    {"Archive verification failed", L"Полученная копия не прошла проверку; она не сохранена."},
    {"Invalid host", L"Настройки неверны; откройте окно настроек."},
    {"Select 1..100 source paths", L"Настройки неверны; откройте окно настроек."},
    {"Use absolute Linux paths", L"Настройки неверны; откройте окно настроек."},
    {"Too many source paths", L"Слишком много путей в настройках; сократите список."},
}};

// Whether a day has passed since the last notice of a kind; a notice time in
// the future is not trusted.
bool QuietDayOver(std::uint64_t now, std::uint64_t lastNotice) {
    return lastNotice == 0 || lastNotice > now + kClockSkewAllowance || now >= lastNotice + kDay;
}

}  // namespace

IniEntries NoticeStateEntries(const NoticeState& state) {
    return {{L"last_success", std::to_wstring(state.last_success)},
            {L"hours", std::to_wstring(state.hours)},
            {L"automatic", state.automatic ? L"1" : L"0"},
            {L"last_failure_notice", std::to_wstring(state.last_failure_notice)},
            {L"last_overdue_notice", std::to_wstring(state.last_overdue_notice)}};
}

bool FailureNoticeDue(std::uint64_t now, const NoticeState& state, std::string_view message) {
    if (!state.automatic || message == kBusyMessage) return false;
    return QuietDayOver(now, state.last_failure_notice);
}

bool OverdueNoticeDue(std::uint64_t now, const NoticeState& state) {
    return state.automatic && IsOverdue(now, state.last_success, state.hours) &&
           QuietDayOver(now, state.last_overdue_notice);
}

std::wstring FailureReason(std::string_view message) {
    for (const auto& [prefix, reason] : kReasons) {
        if (message.substr(0, prefix.size()) == prefix) return reason;
    }
    return L"Копирование прервалось с ошибкой: " + FromUtf8(message);
}

std::wstring FailureNoticeText(std::string_view message, const std::wstring& lastGoodCopy) {
    const std::wstring tail =
        lastGoodCopy.empty() ? L"\nУдачных копий ещё не было." : L"\nПоследняя удачная копия: " + lastGoodCopy + L".";
    std::wstring reason = FailureReason(message);
    if (reason.size() + tail.size() > kLongestText) reason = reason.substr(0, kLongestText - tail.size() - 1) + L"…";
    return reason + tail;
}

std::wstring OverdueNoticeText(std::uint64_t now, std::uint64_t lastSuccess) {
    return L"Подключите диск для резервных копий: последняя копия " + std::to_wstring((now - lastSuccess) / kDay) +
           L" дн. назад";
}

}  // namespace tesmora::notices
