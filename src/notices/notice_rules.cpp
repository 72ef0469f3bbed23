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

// The internal and file-system reasons only lead in to the message.
bool ReasonNeedsMessage(ErrorCode code) { return code == ErrorCode::Internal || code == ErrorCode::FileSystem; }

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

bool FailureNoticeDue(std::uint64_t now, const NoticeState& state, ErrorCode code) {
    if (!state.automatic || code == ErrorCode::Busy) return false;
    return QuietDayOver(now, state.last_failure_notice);
}

bool OverdueNoticeDue(std::uint64_t now, const NoticeState& state) {
    return state.automatic && IsOverdue(now, state.last_success, state.hours) &&
           QuietDayOver(now, state.last_overdue_notice);
}

std::wstring FailureReason(ErrorCode code) {
    // No default: a new kind of failure must get its explanation here.
    switch (code) {
        case ErrorCode::DriveMissing: return L"Диск для копий не найден или это другой диск.";
        case ErrorCode::ConfiguredDriveNotFound: return L"Диск с настройками не найден; подключите диск для копий.";
        case ErrorCode::NoDriveSelected: return L"Диск для копий не выбран; выберите подключённый диск в списке.";
        case ErrorCode::AmbiguousDevice: return L"Подключено несколько похожих дисков; оставьте только диск для копий.";
        case ErrorCode::DriveChanged: return L"Диск для копий отключили во время копирования.";
        case ErrorCode::LowSpace: return L"На диске для копий меньше 512 МиБ свободного места.";
        case ErrorCode::DestinationFull: return L"Диск для копий заполнен, отключён или не принимает запись.";
        case ErrorCode::FileSizeLimit:
            return L"Копия больше 4 ГиБ не помещается на диск с FAT32; отформатируйте диск в exFAT или NTFS.";
        case ErrorCode::DestinationUnwritable: return L"Диск для копий не принимает запись.";
        case ErrorCode::WriteFailed: return L"Файл не записан: диск защищён от записи, извлечён или заполнен.";
        case ErrorCode::FlushFailed: return L"Копию не удалось записать на диск до конца.";
        case ErrorCode::ReadBackFailed: return L"Записанную копию не удалось прочитать с диска для проверки.";
        case ErrorCode::BackupFolderRedirected: return L"Папка копий на диске оказалась ссылкой; ничего не записано.";
        case ErrorCode::RedirectedEntry:
            return L"В папке копий посторонняя ссылка; программа по ней не пишет и не удаляет.";
        case ErrorCode::ForeignStaging: return L"В папке копий посторонние файлы; копирование остановлено.";
        case ErrorCode::HostLookup: return L"Адрес сервера не найден; проверьте подключение к интернету.";
        case ErrorCode::ConnectionFailed: return L"Сервер не отвечает.";
        case ErrorCode::Handshake: return L"Не удалось установить защищённое соединение с сервером.";
        case ErrorCode::ClosedBeforeSsh:
            return L"Сервер закрыл соединение сразу: у него исчерпан лимит подключений, или мешает брандмауэр.";
        case ErrorCode::HostKeyMismatch:
            return L"Ключ сервера изменился; копии остановлены до проверки ключа в настройках.";
        case ErrorCode::PasswordRefused: return L"Сервер не принял сохранённый пароль.";
        case ErrorCode::NoStoredPassword: return L"Пароль сервера не сохранён для этой учётной записи Windows.";
        case ErrorCode::PasswordNotStored: return L"Windows не сохранил пароль; попробуйте ещё раз.";
        case ErrorCode::LoginMethods: return L"Сервер не предлагает способа входа, которым умеет входить программа.";
        case ErrorCode::KeyRefused: return L"Сервер не принял ключ SSH, а входа по паролю на нём нет.";
        case ErrorCode::KeyFile: return L"Файл ключа SSH не подошёл: другой формат, тип или неверная фраза-пароль.";
        case ErrorCode::KeyNotStored: return L"Windows не сохранил ключ SSH; попробуйте ещё раз.";
        case ErrorCode::KeyInstall: return L"Ключ программы не удалось добавить на сервер.";
        case ErrorCode::ChannelRefused: return L"Сервер не дал начать копирование; повторите позже.";
        case ErrorCode::RemotePythonLaunch: return L"Сервер не выполнил команду копирования; логину нужен обычный вход по SSH.";
        case ErrorCode::NoCommands:
            return L"Этому логину разрешён только SFTP или у него нет оболочки; нужен обычный вход по SSH.";
        case ErrorCode::PythonMissing: return L"На сервере не найден python3; установите его.";
        case ErrorCode::PythonTooOld: return L"На сервере слишком старый python3; нужен 3.7 или новее.";
        case ErrorCode::LoginScriptOutput:
            return L"Сценарий входа на сервере (например, .bashrc) печатает текст и портит копию.";
        case ErrorCode::TransferBroken: return L"Связь с сервером прервалась.";
        case ErrorCode::TransferTimeout: return L"Сервер перестал передавать данные.";
        case ErrorCode::RemoteBackupFailed: return L"Сервер не смог собрать архив сайта.";
        case ErrorCode::ArchiveVerificationFailed: return L"Полученная копия не прошла проверку; она не сохранена.";
        case ErrorCode::InvalidSettings: return L"Настройки неверны; исправьте их в окне настроек.";
        case ErrorCode::SettingsNotSaved: return L"Настройки не записались: диск защищён от записи или извлечён.";
        case ErrorCode::TaskRegistration: return L"Расписание не создано; сохраните настройки от имени администратора.";
        case ErrorCode::Busy: return L"Уже идёт другая копия или проверка; дождитесь её конца.";
        case ErrorCode::Cancelled: return L"Операция отменена.";
        case ErrorCode::NoSnapshot: return L"На диске нет такой законченной копии.";
        case ErrorCode::UntrustedCopy: return L"Проверка нашла копию, которой нельзя доверять.";
        case ErrorCode::RestoreTarget: return L"Выберите пустую или новую папку для восстановления.";
        case ErrorCode::RestoreDamaged: return L"Архив копии повреждён; восстановленные файлы могут быть испорчены.";
        case ErrorCode::RestoreFailed: return L"Восстановление остановлено; записанное осталось в папке.";
        case ErrorCode::RestoreIncomplete: return L"Восстановлено не всё; пропущенное перечислено в restore-report.txt.";
        case ErrorCode::RemoteRestoreFailed: return L"Сервер не смог восстановить копию; его папки не изменены.";
        case ErrorCode::SystemRefused:
            return L"Windows не отдал программе данные учётной записи; выйдите из Windows и войдите снова.";
        case ErrorCode::ProgramDamaged: return L"Файл программы повреждён; скачайте её заново.";
        case ErrorCode::FileSystem: return L"Файл или папка недоступны.";
        case ErrorCode::Internal: return L"Внутренний сбой программы.";
    }
    return FailureReason(ErrorCode::Internal);  // a value no enumerator names
}

std::wstring FailureNoticeText(ErrorCode code, std::string_view message, const std::wstring& lastGoodCopy) {
    const std::wstring tail =
        lastGoodCopy.empty() ? L"\nУдачных копий ещё не было." : L"\nПоследняя удачная копия: " + lastGoodCopy + L".";
    std::wstring reason = FailureReason(code);
    if (ReasonNeedsMessage(code)) reason += L" " + FromUtf8(message);
    if (reason.size() + tail.size() > kLongestText) reason = reason.substr(0, kLongestText - tail.size() - 1) + L"…";
    return reason + tail;
}

std::wstring OverdueNoticeText(std::uint64_t now, std::uint64_t lastSuccess) {
    return L"Подключите диск для резервных копий: последняя копия " + std::to_wstring((now - lastSuccess) / kDay) +
           L" дн. назад";
}

}  // namespace tesmora::notices
