// Whole small files written in place, closed and flushed to the medium.
#pragma once

#include "os/os.h"

#include <string>
#include <string_view>

namespace tesmora {

// Creates or truncates the file, writes the bytes unchanged in one write,
// closes it, then flushes it to disk. Raises "Cannot write: <path>",
// "File close failed" or the messages of FlushFileToDisk.
void WriteWholeFile(const std::wstring& path, std::string_view bytes);

using os::FlushFileToDisk;
using os::IsReparsePoint;

}  // namespace tesmora
