// Helpers shared by the unit tests of both builds.
#pragma once

#include <string>

namespace tesmora::testing {

// A fresh, empty folder removed with everything in it at the end of the scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const;

private:
    std::wstring path_;
};

std::string ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
bool Exists(const std::wstring& path);

// The path of the running test program, for tests that start it again as a
// helper process (see test_main.cpp).
std::wstring TestProgramPath();

}  // namespace tesmora::testing
