#include "config/durable_file.h"

#include "os/text.h"
#include "os/error.h"

#include <fstream>

namespace tesmora {

void WriteWholeFile(const std::wstring& path, std::string_view bytes) {
    std::ofstream out(os::FsPath(path), std::ios::binary | std::ios::trunc);
    if (!out) throw Error(ErrorCode::CannotWrite, ToUtf8(path));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw Error(ErrorCode::CannotWrite, ToUtf8(path));
    out.close();
    if (!out) throw Error(ErrorCode::FileCloseFailed);
    FlushFileToDisk(path);
}

}  // namespace tesmora
