// Errors of the whole program: exceptions that carry a short English message in
// UTF-8. The outermost handler of each context reports the message as it is.
#pragma once

#include <stdexcept>
#include <string>
#include <system_error>

namespace tesmora {

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& utf8Message) : std::runtime_error(utf8Message) {}
};

// The user stopped a long operation ("Cancelled" or the operation's own text).
class CancelledError : public Error {
public:
    explicit CancelledError(const std::string& utf8Message = "Cancelled") : Error(utf8Message) {}
};

// A failed file-system operation: names the operation ("create_directories",
// "copy_file", "rename", "remove"), the path and the system's own reason.
class FileSystemError : public Error {
public:
    FileSystemError(const std::string& operation, const std::wstring& path, const std::string& reason);
    FileSystemError(const std::string& operation, const std::wstring& path, const std::error_code& error);

    const std::string& operation() const { return operation_; }

private:
    std::string operation_;
};

namespace os {

// The system's own description of an error code (a Windows error code on
// Windows, an errno value elsewhere) in UTF-8, without a final line break. On
// Windows it comes from FormatMessageW, so a Russian Windows gives Russian text
// rather than question marks from the ANSI code page.
std::string SystemErrorText(unsigned long code);

// The description of a standard library error code, through SystemErrorText
// where the code is the system's own.
std::string ErrorText(const std::error_code& error);

}  // namespace os
}  // namespace tesmora
