// Errors of the whole program: exceptions that carry a short English message in
// UTF-8. The outermost handler of each context reports the message as it is.
#pragma once

#include <stdexcept>
#include <string>

namespace tesmora {

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& utf8Message) : std::runtime_error(utf8Message) {}
};

// A failed file-system operation: names the operation ("create_directories",
// "copy_file", "rename", "remove"), the path and the system's own reason.
class FileSystemError : public Error {
public:
    FileSystemError(const std::string& operation, const std::wstring& path, const std::string& reason);

    const std::string& operation() const { return operation_; }

private:
    std::string operation_;
};

}  // namespace tesmora
