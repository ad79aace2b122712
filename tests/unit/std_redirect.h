// Points the process's standard input or output at a pipe the test holds,
// for as long as the object lives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

class StdPipe {
public:
    enum class Stream { Input, Output };
    explicit StdPipe(Stream stream);
    ~StdPipe();
    StdPipe(const StdPipe&) = delete;
    StdPipe& operator=(const StdPipe&) = delete;

    // Output: the test's end reads. Returns 0 at end of stream.
    std::size_t Read(void* buffer, std::size_t size);
    // Input: the test's end writes.
    void Write(const void* data, std::size_t size);
    // Closes the test's end (the program sees a gone reader or end of input).
    void CloseTestEnd();
    // Gives the process its own standard stream back and closes the program's end.
    void Restore();

private:
    Stream stream_;
    std::intptr_t testEnd_ = -1;
    std::intptr_t programEnd_ = -1;
    std::intptr_t saved_ = -1;
};

// Reads everything the program writes to standard output on a thread of its own.
class OutputCollector {
public:
    OutputCollector();
    ~OutputCollector();
    // Restores standard output and returns all bytes written meanwhile.
    std::vector<std::uint8_t> Finish();

private:
    StdPipe pipe_{StdPipe::Stream::Output};
    std::vector<std::uint8_t> bytes_;
    std::thread reader_;
    bool finished_ = false;
};

// Captures what is written to the C runtime's standard error.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    std::string Finish();

private:
    int saved_ = -1;
    std::string path_;
    bool finished_ = false;
};
