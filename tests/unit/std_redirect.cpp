#include "std_redirect.h"

#include "platform.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#ifdef _WIN32
namespace {
HANDLE H(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }
std::intptr_t I(HANDLE value) { return reinterpret_cast<std::intptr_t>(value); }
}  // namespace

StdPipe::StdPipe(Stream stream) : stream_(stream) {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    CreatePipe(&read, &write, nullptr, 0);
    const DWORD which = stream == Stream::Input ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE;
    saved_ = I(GetStdHandle(which));
    testEnd_ = I(stream == Stream::Input ? write : read);
    programEnd_ = I(stream == Stream::Input ? read : write);
    SetStdHandle(which, H(programEnd_));
}

StdPipe::~StdPipe() {
    CloseTestEnd();
    Restore();
}

void StdPipe::Restore() {
    if (programEnd_ == -1) return;
    SetStdHandle(stream_ == Stream::Input ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE, H(saved_));
    CloseHandle(H(programEnd_));
    programEnd_ = -1;
}

std::size_t StdPipe::Read(void* buffer, std::size_t size) {
    DWORD got = 0;
    if (!ReadFile(H(testEnd_), buffer, static_cast<DWORD>(size), &got, nullptr)) return 0;
    return got;
}

void StdPipe::Write(const void* data, std::size_t size) {
    DWORD written = 0;
    WriteFile(H(testEnd_), data, static_cast<DWORD>(size), &written, nullptr);
}

void StdPipe::CloseTestEnd() {
    if (testEnd_ != -1) CloseHandle(H(testEnd_));
    testEnd_ = -1;
}
#else
StdPipe::StdPipe(Stream stream) : stream_(stream) {
    int fds[2];
    if (pipe(fds) != 0) return;
    const int target = stream == Stream::Input ? 0 : 1;
    saved_ = dup(target);
    testEnd_ = stream == Stream::Input ? fds[1] : fds[0];
    programEnd_ = stream == Stream::Input ? fds[0] : fds[1];
    dup2(static_cast<int>(programEnd_), target);
}

StdPipe::~StdPipe() {
    CloseTestEnd();
    Restore();
}

void StdPipe::Restore() {
    if (programEnd_ == -1) return;
    dup2(static_cast<int>(saved_), stream_ == Stream::Input ? 0 : 1);
    close(static_cast<int>(saved_));
    close(static_cast<int>(programEnd_));
    programEnd_ = -1;
}

std::size_t StdPipe::Read(void* buffer, std::size_t size) {
    const ssize_t got = read(static_cast<int>(testEnd_), buffer, size);
    return got > 0 ? static_cast<std::size_t>(got) : 0;
}

void StdPipe::Write(const void* data, std::size_t size) {
    if (write(static_cast<int>(testEnd_), data, size) < 0) std::perror("write");
}

void StdPipe::CloseTestEnd() {
    if (testEnd_ != -1) close(static_cast<int>(testEnd_));
    testEnd_ = -1;
}
#endif

OutputCollector::OutputCollector() {
    reader_ = std::thread([this] {
        std::uint8_t chunk[65536];
        while (std::size_t got = pipe_.Read(chunk, sizeof chunk))
            bytes_.insert(bytes_.end(), chunk, chunk + got);
    });
}

OutputCollector::~OutputCollector() { Finish(); }

std::vector<std::uint8_t> OutputCollector::Finish() {
    if (!finished_) {
        finished_ = true;
        pipe_.Restore();  // the reader sees the end once the program's end is closed
        reader_.join();
    }
    return bytes_;
}

StderrCapture::StderrCapture() {
    std::fflush(stderr);
    char name[] = "sondrel-stderr-XXXXXX";
#ifdef _WIN32
    path_ = _mktemp(name);
    // Text mode, as standard error has: line feeds go out as CR LF.
    const int fd = _open(path_.c_str(), _O_CREAT | _O_RDWR | _O_TEXT, 0600);
    saved_ = _dup(2);
    _dup2(fd, 2);
    _close(fd);
#else
    const int fd = mkstemp(name);
    path_ = name;
    saved_ = dup(2);
    dup2(fd, 2);
    close(fd);
#endif
}

StderrCapture::~StderrCapture() { Finish(); }

std::string StderrCapture::Finish() {
    if (finished_) return {};
    finished_ = true;
    std::fflush(stderr);
#ifdef _WIN32
    _dup2(saved_, 2);
    _close(saved_);
#else
    dup2(saved_, 2);
    close(saved_);
#endif
    std::ifstream file(path_, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    file.close();
    std::remove(path_.c_str());
    return text;
}
