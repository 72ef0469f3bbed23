#include "notices/notice_rules.h"

#include "config/schedule_state.h"
#include "os/text.h"

namespace tesmora::notices {
namespace {

constexpr std::uint64_t kDay = 86400;
// A notice time further ahead than this means the clock was set back.
constexpr std::uint64_t kClockSkewAllowance = 300;
// The most text a notification area balloon takes, without its terminator.
constexpr std::size_t kLongestText = 255;

// The text itself, or its first room - 1 characters and an ellipsis.
std::wstring CutToFit(const std::wstring& text, std::size_t room) {
    return text.size() <= room ? text : text.substr(0, room - 1) + L"…";
}

// The internal and file-system reasons only lead in to the message.
bool ReasonNeedsMessage(ErrorKind kind) { return kind == ErrorKind::Internal || kind == ErrorKind::FileSystem; }

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

bool FailureNoticeDue(std::uint64_t now, const NoticeState& state, ErrorKind kind) {
    if (!state.automatic || kind == ErrorKind::Busy) return false;
    return QuietDayOver(now, state.last_failure_notice);
}

bool OverdueNoticeDue(std::uint64_t now, const NoticeState& state) {
    return state.automatic && IsOverdue(now, state.last_success, state.hours) &&
           QuietDayOver(now, state.last_overdue_notice);
}

std::wstring FailureReason(ErrorKind kind) {
    // No default: a new kind of failure must get its explanation here.
    switch (kind) {
        case ErrorKind::DriveMissing: return L"Диск для копий не найден или это другой диск.";
        case ErrorKind::ConfiguredDriveNotFound: return L"Диск с настройками не найден; подключите диск для копий.";
        case ErrorKind::NoDriveSelected: return L"Диск для копий не выбран; выберите подключённый диск в списке.";
        case ErrorKind::AmbiguousDevice: return L"Подключено несколько похожих дисков; оставьте только диск для копий.";
        case ErrorKind::DriveChanged: return L"Диск для копий отключили во время копирования.";
        case ErrorKind::LowSpace: return L"На диске для копий меньше 512 МиБ свободного места.";
        case ErrorKind::DestinationFull: return L"Диск для копий заполнен, отключён или не принимает запись.";
        case ErrorKind::FileSizeLimit:
            return L"Копия больше 4 ГиБ не помещается на диск с FAT32; отформатируйте диск в exFAT или NTFS.";
        case ErrorKind::DestinationUnwritable: return L"Диск для копий не принимает запись.";
        case ErrorKind::WriteFailed: return L"Файл не записан: диск защищён от записи, извлечён или заполнен.";
        case ErrorKind::FlushFailed: return L"Копию не удалось записать на диск до конца.";
        case ErrorKind::ReadBackFailed: return L"Записанную копию не удалось прочитать с диска для проверки.";
        case ErrorKind::BackupFolderRedirected: return L"Папка копий на диске оказалась ссылкой; ничего не записано.";
        case ErrorKind::RedirectedEntry:
            return L"В папке копий посторонняя ссылка; программа по ней не пишет и не удаляет.";
        case ErrorKind::ForeignStaging: return L"В папке копий посторонние файлы; копирование остановлено.";
        case ErrorKind::HostLookup: return L"Адрес сервера не найден; проверьте подключение к интернету.";
        case ErrorKind::ConnectionFailed: return L"Сервер не отвечает.";
        case ErrorKind::Handshake: return L"Не удалось установить защищённое соединение с сервером.";
        case ErrorKind::ClosedBeforeSsh:
            return L"Сервер закрыл соединение сразу: у него исчерпан лимит подключений, или мешает брандмауэр.";
        case ErrorKind::HostKeyMismatch:
            return L"Ключ сервера изменился; копии остановлены до проверки ключа в настройках.";
        case ErrorKind::PasswordRefused: return L"Сервер не принял сохранённый пароль.";
        case ErrorKind::NoStoredPassword: return L"Пароль сервера не сохранён для этой учётной записи Windows.";
        case ErrorKind::PasswordNotStored: return L"Windows не сохранил пароль; попробуйте ещё раз.";
        case ErrorKind::LoginMethods: return L"Сервер не предлагает способа входа, которым умеет входить программа.";
        case ErrorKind::KeyRefused: return L"Сервер не принял ключ SSH, а входа по паролю на нём нет.";
        case ErrorKind::KeyFile: return L"Файл ключа SSH не подошёл: другой формат, тип или неверная фраза-пароль.";
        case ErrorKind::KeyNotStored: return L"Windows не сохранил ключ SSH; попробуйте ещё раз.";
        case ErrorKind::KeyInstall: return L"Ключ программы не удалось добавить на сервер.";
        case ErrorKind::ChannelRefused: return L"Сервер не дал начать копирование; повторите позже.";
        case ErrorKind::RemotePythonLaunch: return L"Сервер не выполнил команду копирования; логину нужен обычный вход по SSH.";
        case ErrorKind::NoCommands:
            return L"Этому логину разрешён только SFTP или у него нет оболочки; нужен обычный вход по SSH.";
        case ErrorKind::PythonMissing: return L"На сервере не найден python3; установите его.";
        case ErrorKind::PythonTooOld: return L"На сервере слишком старый python3; нужен 3.7 или новее.";
        case ErrorKind::LoginScriptOutput:
            return L"Сценарий входа на сервере (например, .bashrc) печатает текст и портит копию.";
        case ErrorKind::TransferBroken: return L"Связь с сервером прервалась.";
        case ErrorKind::TransferTimeout: return L"Сервер перестал передавать данные.";
        case ErrorKind::RemoteBackupFailed: return L"Сервер не смог собрать архив сайта.";
        case ErrorKind::ArchiveVerificationFailed: return L"Полученная копия не прошла проверку; она не сохранена.";
        case ErrorKind::InvalidSettings: return L"Настройки неверны; исправьте их в окне настроек.";
        case ErrorKind::SettingsNotSaved: return L"Настройки не записались: диск защищён от записи или извлечён.";
        case ErrorKind::TaskRegistration: return L"Расписание не создано; сохраните настройки от имени администратора.";
        case ErrorKind::Busy: return L"Уже идёт другая копия или проверка; дождитесь её конца.";
        case ErrorKind::Cancelled: return L"Операция отменена.";
        case ErrorKind::NoSnapshot: return L"На диске нет такой законченной копии.";
        case ErrorKind::UntrustedCopy: return L"Проверка нашла копию, которой нельзя доверять.";
        case ErrorKind::RestoreTarget: return L"Выберите пустую или новую папку для восстановления.";
        case ErrorKind::RestoreDamaged: return L"Архив копии повреждён; восстановленные файлы могут быть испорчены.";
        case ErrorKind::RestoreFailed: return L"Восстановление остановлено; записанное осталось в папке.";
        case ErrorKind::RestoreIncomplete: return L"Восстановлено не всё; пропущенное перечислено в restore-report.txt.";
        case ErrorKind::RemoteRestoreFailed: return L"Сервер не смог восстановить копию; его папки не изменены.";
        case ErrorKind::EncryptionKey:
            return L"Нет ключа к зашифрованным копиям: введите пароль к identity.age или возьмите лист восстановления.";
        case ErrorKind::SystemRefused:
            return L"Windows не отдал программе данные учётной записи; выйдите из Windows и войдите снова.";
        case ErrorKind::ProgramDamaged: return L"Файл программы повреждён; скачайте её заново.";
        case ErrorKind::FileSystem: return L"Файл или папка недоступны.";
        case ErrorKind::Internal: return L"Внутренний сбой программы.";
    }
    return FailureReason(ErrorKind::Internal);  // a value no enumerator names
}

std::wstring FailureNoticeText(ErrorKind kind, std::string_view message, const std::wstring& lastGoodCopy) {
    const std::wstring tail =
        lastGoodCopy.empty() ? L"\nУдачных копий ещё не было." : L"\nПоследняя удачная копия: " + lastGoodCopy + L".";
    std::wstring reason = FailureReason(kind);
    if (ReasonNeedsMessage(kind)) reason += L" " + FromUtf8(message);
    return CutToFit(reason, kLongestText - tail.size()) + tail;
}

std::wstring IncompleteText(const std::vector<std::string>& missed) {
    if (missed.empty()) return {};
    if (missed.size() == 1) return L"Копия сделана, но она неполная: " + FromUtf8(missed.front());
    return L"Копия сделана, но она неполная (нет баз данных: " + std::to_wstring(missed.size()) + L"): " +
           FromUtf8(missed.front()) + L". Все причины — в журнале.";
}

std::wstring IncompleteNoticeText(const std::vector<std::string>& missed) {
    return CutToFit(IncompleteText(missed), kLongestText);
}

std::wstring OverdueNoticeText(std::uint64_t now, std::uint64_t lastSuccess) {
    return L"Подключите диск для резервных копий: последняя копия " + std::to_wstring((now - lastSuccess) / kDay) +
           L" дн. назад";
}

}  // namespace tesmora::notices
