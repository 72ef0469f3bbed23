// The Windows entry point of the program: a GUI-subsystem process without a
// console, so that Task Scheduler starts it without a console window showing;
// a mode's lines reach the console it was started from through os::PrintLine.
// It splits its own command line and hands over to the portable start.
#include "app/program.h"
#include "os/win/win32.h"

#include <shellapi.h>

#include <string>
#include <vector>

namespace {

// Owns the vector CommandLineToArgvW returns.
class ArgumentVector {
public:
    ArgumentVector() : argv_(CommandLineToArgvW(GetCommandLineW(), &count_)) {}
    ~ArgumentVector() { LocalFree(argv_); }
    ArgumentVector(const ArgumentVector&) = delete;
    ArgumentVector& operator=(const ArgumentVector&) = delete;

    std::vector<std::wstring> strings() const {
        std::vector<std::wstring> out;
        for (int i = 0; argv_ != nullptr && i < count_; ++i) out.emplace_back(argv_[i]);
        return out;
    }

private:
    int count_ = 0;
    LPWSTR* argv_ = nullptr;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    ArgumentVector arguments;
    return tesmora::app::ProgramMain(arguments.strings());
}
