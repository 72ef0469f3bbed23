// The operating-system layer: one interface, two twins. src/os/win/ is the
// product; src/os/posix/ stands in for it in the native build so the portable
// core can be developed and tested quickly on Linux.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tesmora::os {

#ifdef _WIN32
inline constexpr wchar_t kPathSeparator = L'\\';
#else
inline constexpr wchar_t kPathSeparator = L'/';
#endif

// ---- Paths and files -------------------------------------------------------

// The path in the form the standard library's streams and std::filesystem take.
std::filesystem::path FsPath(const std::wstring& path);
std::wstring FromFsPath(const std::filesystem::path& path);

// Appends one element with the platform's separator (none doubled).
std::wstring JoinPath(const std::wstring& base, const std::wstring& element);

// The path without its last element ("C:\a\b.exe" gives "C:\a").
std::wstring ParentPath(const std::wstring& path);

// Paths compared element by element, case-sensitively; "\" and "/" are the
// same separator and runs of separators count as one.
bool SamePath(std::wstring_view a, std::wstring_view b);

bool IsRegularFile(const std::wstring& path);

// Creates the folder with all missing parents; FileSystemError
// "create_directories" on failure.
void CreateDirectories(const std::wstring& path);

// Opens the existing file for writing and flushes it to the medium.
// Raises "Cannot flush destination file" when it cannot be opened and
// "Destination flush failed; backup not committed" when the flush fails.
void FlushFileToDisk(const std::wstring& path);

// Moves `from` over `to`, replacing it, and returns only when the move reached
// the medium. False when it failed (target read-only or locked, medium gone).
bool ReplaceFileWriteThrough(const std::wstring& from, const std::wstring& to);

// Renames a directory within its volume (MoveFileExW with replace and copy
// allowed) and returns once the rename reached the medium. Raises the
// file-system error "rename" naming both paths.
void RenameDirectory(const std::wstring& from, const std::wstring& to);

// True for symbolic links, junctions, mount points and for paths whose
// attributes cannot be read: all of them count as redirected.
bool IsReparsePoint(const std::wstring& path);

// Reads a file from the medium itself rather than from the system's cache
// (unbuffered, aligned reads), so what it reads is what the device holds.
// Move-only; the destructor closes the file. Raises "Cannot read back: " with
// the path and the system's reason when the file cannot be opened or read.
class UncachedFileReader {
public:
    explicit UncachedFileReader(const std::wstring& path);
    UncachedFileReader(UncachedFileReader&& other) noexcept;
    UncachedFileReader& operator=(UncachedFileReader&& other) noexcept;
    UncachedFileReader(const UncachedFileReader&) = delete;
    UncachedFileReader& operator=(const UncachedFileReader&) = delete;
    ~UncachedFileReader();

    // The next piece of the file, empty at its end; valid until the next call.
    std::string_view next();
    std::uint64_t size() const { return size_; }

private:
    void close();
    static constexpr std::intptr_t kEmpty = -1;
    std::intptr_t handle_ = kEmpty;
    char* buffer_ = nullptr;
    std::uint64_t size_ = 0;
    std::wstring path_;
};

// The path in the form that lifts the 260-character limit ("\\?\" before an
// absolute Windows path); unchanged elsewhere.
std::wstring ExtendedPath(const std::wstring& path);

// Makes a symbolic link at `link` to `target` (a relative path), for a folder
// when `directory`. False when the system refused or made nothing.
bool MakeSymbolicLink(const std::wstring& link, const std::wstring& target, bool directory);

// Sets the modification time of a file or a folder (never of what a link
// leads to) to `seconds` since 1970 UTC and `nanoseconds`. False on failure.
bool SetModificationTime(const std::wstring& path, std::int64_t seconds, long nanoseconds);

// The platform's INI reader: the value of `key` in `section`, or `fallback`
// when the file, the section or the key is missing. Values are cut to 32767
// characters.
std::wstring ReadProfileString(const std::wstring& path, const std::wstring& section,
                               const std::wstring& key, const std::wstring& fallback);

// ---- Drives ----------------------------------------------------------------

// Bit n set: the drive letter A+n exists.
std::uint32_t LogicalDriveMask();

// The drive type code of a root such as "F:\": 2 removable, 3 fixed, 4
// network, 5 optical, 6 RAM disk, 0 and 1 unknown or no root.
unsigned DriveTypeOf(const std::wstring& root);

struct VolumeFacts {
    std::wstring label;
    std::uint32_t serial = 0;
    std::wstring fileSystem;
};
// Empty when the volume cannot be read (a card reader without a card).
std::optional<VolumeFacts> VolumeInformation(const std::wstring& root);

struct SpaceFacts {
    std::uint64_t freeBytes = 0;  // available to the calling user
    std::uint64_t totalBytes = 0;
};
std::optional<SpaceFacts> DiskSpace(const std::wstring& root);

// The raw STORAGE_DEVICE_DESCRIPTOR the device of the drive answers to a
// standard property query, exactly the bytes returned; empty when the device
// cannot be opened or rejects the query.
std::optional<std::string> StorageDeviceDescriptor(const std::wstring& root);

// ---- Power -----------------------------------------------------------------------

// Asks the system not to sleep (true) or withdraws the request (false), for
// the calling thread.
void SetKeepAwake(bool on);

// ---- Credentials -----------------------------------------------------------

// The blob of the user's generic credential named `target`; empty when none
// can be read.
std::optional<std::string> ReadGenericCredential(const std::wstring& target);

// Creates or replaces the user's persistent generic credential. False when the
// store refuses it.
bool WriteGenericCredential(const std::wstring& target, const std::wstring& userName, const std::string& blob);

// Overwrites memory with zeros in a way the compiler may not drop.
void WipeMemory(void* data, std::size_t size);

// ---- Identifiers, users and local time ------------------------------------------

// A new random GUID as text in braces with upper-case digits, as
// StringFromGUID2 writes it: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.
std::wstring NewGuidText();

// The SID text of the user the process runs as. Raises "User token
// unavailable", "User SID unavailable" or "SID conversion failed".
std::wstring CurrentUserSid();

struct LocalTime {
    unsigned year, month, day, hour, minute, second;
};
LocalTime LocalTimeNow();
// The local time of a moment given in seconds since 1970 UTC.
LocalTime LocalTimeAt(std::uint64_t unixSeconds);

// True when both paths name the same folder on disk (not by text). Raises the
// file-system error "equivalent" when neither can be examined.
bool SameFolderOnDisk(const std::wstring& a, const std::wstring& b);

// ---- Named lock ------------------------------------------------------------

// A lock shared by every process of the user's logon session. Move-only; the
// destructor releases and closes. A killed holder does not keep it held.
class NamedLock {
public:
    NamedLock() = default;
    NamedLock(NamedLock&& other) noexcept;
    NamedLock& operator=(NamedLock&& other) noexcept;
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;
    ~NamedLock();

    bool held() const { return handle_ != kEmpty; }
    void release();

private:
    friend NamedLock TryAcquireNamedLock(const std::wstring& name);
    static constexpr std::intptr_t kEmpty = -1;
    explicit NamedLock(std::intptr_t handle) : handle_(handle) {}
    std::intptr_t handle_ = kEmpty;
};

// Tries once, never waits. An empty lock means someone else holds it or it
// could not be created.
NamedLock TryAcquireNamedLock(const std::wstring& name);

// ---- Known folders and the running program ---------------------------------

// The user's local application data folder. Raises an error with a message
// when it cannot be determined.
std::wstring LocalAppDataFolder();

// The full path of the running executable.
std::wstring ExecutablePath();

// A variable of the process environment; empty when it is not set.
std::wstring EnvironmentText(const std::wstring& name);

// This computer's name in the network; empty when the system gives none.
std::wstring ComputerName();

// Writes one line to the standard output of the console the program was
// started from (the Windows program has no console of its own); nothing when
// there is none.
void PrintLine(const std::wstring& text);

// Shows an error to a person: a message box on Windows, standard error elsewhere.
void ShowErrorMessage(const std::wstring& text, const std::wstring& caption);

// Bytes of a resource built into the executable; empty when it is missing.
std::string LoadResourceBytes(int id);

// ---- Notices -----------------------------------------------------------------

// Shows a notification to the user of the session: on Windows a balloon of a
// notification-area icon owned by a hidden window, which Windows 10 and 11 show
// as a notification. Waits until it is clicked, closed or timed out, at most
// `longest`, then removes the icon; a click starts `programToStartOnClick`
// without arguments. False when the notification area did not take it (no
// shell yet at logon, no desktop).
bool ShowNotice(const std::wstring& title, const std::wstring& text, const std::wstring& programToStartOnClick,
                std::chrono::milliseconds longest);

// ---- Sockets -----------------------------------------------------------------

// A socket handle as the platform knows it (SOCKET or a descriptor).
using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kInvalidSocket = -1;

struct ResolvedAddress {
    int family = 0;
    int socketType = 0;
    int protocol = 0;
    std::string address;  // the sockaddr bytes
};

// getaddrinfo for a stream socket (IPv4 and IPv6 alike), in resolver order.
// Empty when the lookup fails, takes longer than `timeout` (a resolver that
// never answers) or `cancel` is set; the flag is looked at every 100 ms.
std::optional<std::vector<ResolvedAddress>> ResolveHost(const std::string& hostUtf8, const std::string& port,
                                                        std::chrono::milliseconds timeout,
                                                        const std::atomic<bool>* cancel = nullptr);

// A socket connected to the address within `timeout`, back in blocking mode;
// kInvalidSocket when the attempt failed, timed out or `cancel` was set (its
// socket is closed). The socket is stored in `publish` before the wait, so
// another thread can shut it down, and taken out again on failure.
SocketHandle ConnectTcp(const ResolvedAddress& address, std::chrono::milliseconds timeout,
                        const std::atomic<bool>* cancel = nullptr, std::atomic<SocketHandle>* publish = nullptr);

void CloseSocket(SocketHandle socket);

// Breaks any call blocked on the socket, from another thread.
void ShutdownSocket(SocketHandle socket);

// Waits until the socket is readable (or writable too, when asked), at most
// `timeout`.
void WaitForSocket(SocketHandle socket, bool alsoWritable, std::chrono::milliseconds timeout);

// ---- Hashing ------------------------------------------------------------------

// An incremental SHA-256. Raises "SHA256 init failed", "SHA256 update failed"
// and "SHA256 final failed".
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, std::size_t size);
    std::string finish();  // the 32-byte digest

private:
    void* hash_ = nullptr;  // the OpenSSL digest context
};

// SHA-256 on a thread of its own, so that hashing overlaps the work on the
// same bytes: on a processor without SHA extensions it costs a good part of
// what inflating the archive does. update() copies the bytes and waits only while
// several megabytes are queued; finish() waits for the rest. Errors of the
// hash come out of update() or finish(). The destructor stops the thread.
class BackgroundSha256 {
public:
    BackgroundSha256();
    ~BackgroundSha256();
    BackgroundSha256(const BackgroundSha256&) = delete;
    BackgroundSha256& operator=(const BackgroundSha256&) = delete;

    void update(const void* data, std::size_t size);
    std::string finish();  // the 32-byte digest

private:
    struct Shared;
    void hand(bool last);
    std::unique_ptr<Shared> shared_;
    std::string filling_;
};

// ---- Clock -----------------------------------------------------------------

// Wall-clock time in 100-nanosecond units since 1970-01-01 00:00:00 UTC.
std::uint64_t WallClock100ns();

// A clock that never goes back, in nanoseconds from an arbitrary start.
std::uint64_t MonotonicNanoseconds();

// The most memory the process has held resident so far, in bytes.
std::uint64_t PeakResidentBytes();

// Whether the processor has the AES instructions (x86 AES-NI); false where
// that cannot be told.
bool CpuHasAesInstructions();

// ---- Networking library ----------------------------------------------------

// Initialises the socket library for the life of the object.
class NetworkLibrary {
public:
    NetworkLibrary();
    ~NetworkLibrary();
    NetworkLibrary(const NetworkLibrary&) = delete;
    NetworkLibrary& operator=(const NetworkLibrary&) = delete;
};

// ---- Command lines ---------------------------------------------------------------

// One argument of a Windows command line, always quoted, so that
// CommandLineToArgvW gives the text back unchanged.
std::wstring QuoteArgument(const std::wstring& text);

// ---- Processes -------------------------------------------------------------

// A started child process. Move-only; the destructor ends a child that is
// still running and waits for it, so no child outlives its owner.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // Starts `program` with `arguments` (argument 0 excluded), without a
    // window. Raises an error naming the program when it cannot be started.
    static ChildProcess Start(const std::wstring& program, const std::vector<std::wstring>& arguments);

    bool running() const { return handle_ != kEmpty; }

    // Waits up to `timeout`; true with the exit code when the child ended.
    bool waitFor(std::chrono::milliseconds timeout, int& exitCode);

    // Ends the child at once, as a crash or a kill from outside would.
    void kill();

    // Runs a whole command line without a window, the program found by the
    // usual search, and waits up to `timeout` for it. The exit code (259, still
    // active, when it did not end in time; the process is left running), or
    // empty when it could not be started.
    static std::optional<std::uint32_t> RunHidden(const std::wstring& commandLine, std::chrono::milliseconds timeout);

private:
    static constexpr std::intptr_t kEmpty = -1;
    std::intptr_t handle_ = kEmpty;
};

// ---- Task Scheduler ----------------------------------------------------------

// Whether the Task Scheduler holds a task of this name in its root folder;
// empty when it gives no answer (it refused the question or does not run).
// The native build has no scheduler: never.
std::optional<bool> ScheduledTaskRegistered(const std::wstring& name);

}  // namespace tesmora::os
