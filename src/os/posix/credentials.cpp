// The credential store of the native build: one file per credential, readable
// by the user alone, in a folder of the user's data home. It stands in for the
// Windows Credential Manager during development only.
#include "os/text.h"
#include "os/os.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace tesmora::os {
namespace {

std::wstring CredentialFile(const std::wstring& target) {
    std::uint64_t hash = 1469598103934665603ULL;
    for (char c : ToUtf8(target)) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    const std::wstring folder = JoinPath(LocalAppDataFolder(), L".tesmora-credentials");
    return JoinPath(folder, FromUtf8(HexLower(std::string(reinterpret_cast<const char*>(&hash), sizeof(hash)))));
}

}  // namespace

std::optional<std::string> ReadGenericCredential(const std::wstring& target) {
    std::ifstream in(FsPath(CredentialFile(target)), std::ios::binary);
    if (!in) return std::nullopt;
    const std::string record((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The record: the target name in UTF-8, a zero byte, the blob.
    const std::string name = ToUtf8(target);
    if (record.size() <= name.size() || record.compare(0, name.size(), name) != 0 || record[name.size()] != '\0') {
        return std::nullopt;
    }
    return record.substr(name.size() + 1);
}

bool WriteGenericCredential(const std::wstring& target, const std::wstring&, const std::string& blob) {
    try {
        const std::wstring path = CredentialFile(target);
        CreateDirectories(ParentPath(path));
        const std::string record = ToUtf8(target) + std::string(1, '\0') + blob;
        const int fd = open(ToUtf8(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) return false;
        const bool written = write(fd, record.data(), record.size()) == static_cast<ssize_t>(record.size());
        return close(fd) == 0 && written;
    } catch (...) {
        return false;
    }
}

void WipeMemory(void* data, std::size_t size) { explicit_bzero(data, size); }

}  // namespace tesmora::os
