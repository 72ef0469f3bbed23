// The native entry point: the same program for development on Linux.
#include "app/program.h"
#include "os/text.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::wstring> arguments;
    for (int i = 0; i < argc; ++i) arguments.push_back(tesmora::FromUtf8(argv[i]));
    return tesmora::app::ProgramMain(arguments);
}
