#include "WholeBuffer.h"

#include "UniqueFd.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <thread>

namespace sentorix {
namespace {

using linux_system::WholeBuffer;

struct Pipe {
    Pipe() {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        reader = UniqueFd(fds[0]);
        writer = UniqueFd(fds[1]);
    }
    UniqueFd reader, writer;
};

TEST(WholeBufferTest, WritesMoreThanAPipeTakesAtOnceAndReadsItAllBack) {
    Pipe pipe;
    std::string sent(1 << 20, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<char>(i * 7);
    }
    std::size_t written = 0;
    std::thread writer([&] {
        written = WholeBuffer::write(pipe.writer.get(), sent.data(), sent.size());
        pipe.writer.reset();
    });
    // Small reads first, so that the writer's calls come back short.
    char head[100];
    ASSERT_EQ(WholeBuffer::read(pipe.reader.get(), head, sizeof head), 100);
    const auto rest = WholeBuffer::readToEnd(pipe.reader.get(), sent.size() * 2);
    writer.join();
    EXPECT_EQ(written, sent.size());
    ASSERT_TRUE(rest.ok());
    EXPECT_EQ(std::string(head, sizeof head) + *rest, sent);
}

TEST(WholeBufferTest, StopsAtTheEndOfTheFileAtTheLimitAndOnAnError) {
    Pipe pipe;
    ASSERT_EQ(WholeBuffer::write(pipe.writer.get(), "abcdef", 6), 6u);
    pipe.writer.reset();
    char buffer[16];
    EXPECT_EQ(WholeBuffer::read(pipe.reader.get(), buffer, 4), 4);
    EXPECT_EQ(WholeBuffer::read(pipe.reader.get(), buffer, sizeof buffer), 2) << "short at the end";
    EXPECT_EQ(WholeBuffer::read(pipe.reader.get(), buffer, sizeof buffer), 0);

    Pipe limited;
    ASSERT_EQ(WholeBuffer::write(limited.writer.get(), "0123456789", 10), 10u);
    EXPECT_EQ(*WholeBuffer::readToEnd(limited.reader.get(), 3), "012") << "never past the limit, even if more is there";

    EXPECT_EQ(WholeBuffer::read(-1, buffer, sizeof buffer), -1);
    EXPECT_EQ(errno, EBADF);
    const auto failed = WholeBuffer::readToEnd(-1, 10);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().code(), EBADF);

    Pipe closed;
    closed.reader.reset();
    ::signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(WholeBuffer::write(closed.writer.get(), "x", 1), 0u);
    EXPECT_EQ(errno, EPIPE);
}

}  // namespace
}  // namespace sentorix
