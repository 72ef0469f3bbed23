#include "os/error.h"

#include "config/text.h"

namespace tesmora {

FileSystemError::FileSystemError(const std::string& operation, const std::wstring& path,
                                 const std::string& reason)
    : Error(operation + ": " + ToUtf8(path) + ": " + reason), operation_(operation) {}

}  // namespace tesmora
