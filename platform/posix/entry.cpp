// The process entry: wide arguments for the program's wmain, as Windows
// hands them over.
#include <win32_posix.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

extern "C" int wmain(int argc, wchar_t** argv);

namespace {

// A descriptor 0-2 closed by the parent would otherwise go to the next file
// or event we open, and the stream would be written into our own objects. A
// path-only descriptor holds the place: reads and writes on it fail, as they
// do on Windows when the standard handle is missing. Going up from 0, the
// lowest free descriptor is the closed one, so open lands right there.
void HoldStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int placeholder = open("/", O_PATH);
        if (placeholder >= 0 && placeholder != fd) {
            dup2(placeholder, fd);
            close(placeholder);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    HoldStandardDescriptors();
    // A reader that goes away must show up as a failed write, never kill us.
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::wstring> arguments;
    arguments.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) arguments.push_back(PosixArgumentToWide(argv[i]));
    std::vector<wchar_t*> pointers;
    for (std::wstring& argument : arguments) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    return wmain(argc, pointers.data());
}
