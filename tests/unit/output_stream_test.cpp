#include "output_stream.h"
#include "std_redirect.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

TEST(StreamHeader, IsSdraVersion1Float32Stereo48k) {
    const std::uint8_t expected[16] = {'S', 'D', 'R', 'A', 1, 0, 0, 0, 0x80, 0xBB, 0, 0, 2, 0, 32, 0};
    EXPECT_EQ(std::memcmp(StreamHeader.data(), expected, 16), 0);
}

// More than a pipe holds, taken one byte per read with pauses: every write
// is partial and must be continued where it stopped.
TEST(WriteFully, SlowReaderGetsEveryByteInOrder) {
    std::vector<std::uint8_t> data(300000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + i / 251);

    StdPipe pipe(StdPipe::Stream::Output);
    std::vector<std::uint8_t> received;
    std::thread reader([&] {
        std::uint8_t byte = 0;
        while (received.size() < data.size() && pipe.Read(&byte, 1) == 1) {
            received.push_back(byte);
            if (received.size() % 50000 == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    EXPECT_EQ(WriteFully(data.data(), static_cast<std::uint32_t>(data.size())), S_OK);
    reader.join();
    EXPECT_EQ(received, data);
}

TEST(WriteFully, ClosedReaderGivesBrokenPipe) {
    StdPipe pipe(StdPipe::Stream::Output);
    pipe.CloseTestEnd();
    const std::uint8_t bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(WriteFully(bytes, sizeof bytes), static_cast<HRESULT>(0x8007006D));
}

TEST(WriteFully, ZeroLengthWritesNothingAndSucceeds) {
    StdPipe pipe(StdPipe::Stream::Output);
    EXPECT_EQ(WriteFully(nullptr, 0), S_OK);
    const std::uint8_t marker = 0x5A;
    EXPECT_EQ(WriteFully(&marker, 1), S_OK);
    std::uint8_t got[2] = {0, 0};
    EXPECT_EQ(pipe.Read(got, 2), 1u);  // only the marker is there
    EXPECT_EQ(got[0], 0x5A);
}

}  // namespace
