#include "os/error.h"

#include "os/text.h"

namespace tesmora {

FileSystemError::FileSystemError(const std::string& operation, const std::wstring& path,
                                 const std::string& reason)
    : Error(operation + ": " + ToUtf8(path) + ": " + reason), operation_(operation) {}

FileSystemError::FileSystemError(const std::string& operation, const std::wstring& path,
                                 const std::error_code& error)
    : FileSystemError(operation, path, os::ErrorText(error)) {}

namespace os {

std::string ErrorText(const std::error_code& error) {
    // The standard library's own text for system codes is in the ANSI code
    // page on Windows; errno texts of the C library are plain ASCII.
    if (error.category() == std::system_category()) return SystemErrorText(static_cast<unsigned long>(error.value()));
    return error.message();
}

}  // namespace os
}  // namespace tesmora
