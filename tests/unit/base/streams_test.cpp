// Buffered streams: line readers, lengths, seeks and positioned reads, with
// real read errors (a stream opened for writing only) and unseekable pipes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lib/cli/shared/clibase.h"
#include "tests/support/temp_dir.h"

namespace {

class StreamsTest : public ::testing::Test, protected testsupport::TempDir {
protected:
    void SetUp() override { ASSERT_TRUE(Make("streams_test.")); }
    void TearDown() override {
        for (FILE *f : open_) {
            fclose(f);
        }
    }

    // A stream opened for reading on a file with the given contents.
    FILE *Reader(const std::string &contents) {
        std::string path = Path("in.txt");
        FILE *w = fopen(path.c_str(), "wb");
        EXPECT_NE(w, nullptr);
        fwrite(contents.data(), 1, contents.size(), w);
        fclose(w);
        return Keep(fopen(path.c_str(), "rb"));
    }

    // A stream on which every read fails with an error.
    FILE *Unreadable() { return Keep(fopen(Path("wo.txt").c_str(), "wb")); }

    // The read end of a pipe, which cannot seek.
    FILE *PipeReader(const std::string &contents) {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        EXPECT_EQ(write(fds[1], contents.data(), contents.size()),
                  static_cast<ssize_t>(contents.size()));
        close(fds[1]);
        return Keep(fdopen(fds[0], "rb"));
    }

    // A sparse file of the given size.
    FILE *Sparse(uint64_t size) {
        std::string path = Path(("sparse" + std::to_string(++sparseCount_)).c_str());
        int fd = open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
        EXPECT_EQ(pwrite(fd, "tail!", 5, static_cast<off_t>(size - 5)), 5);
        close(fd);
        return Keep(fopen(path.c_str(), "rb"));
    }

    FILE *Keep(FILE *f) {
        EXPECT_NE(f, nullptr);
        if (f != nullptr) {
            open_.push_back(f);
        }
        return f;
    }

    std::vector<FILE *> open_;
    int sparseCount_ = 0;
};

TEST_F(StreamsTest, GetLineDropsLineEnds) {
    std::string line40(40, 'x');
    FILE *in = Reader("abc\r\nab\rcd\n" + line40 + "\nlast");
    struct Step {
        uint32_t size;
        const char *text;
        bool atEnd;
    } steps[] = {
        {32, "abc", false},
        {32, "ab", false}, // a lone CR ends the line too
        {32, "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", false},
        {32, "xxxxxxxxx", false}, // the rest of the long line
        {32, "last", true},       // final line without line end
        {32, "", true},           // nothing left: still success
        {32, "", true},
    };
    for (const Step &s : steps) {
        char buf[64];
        memset(buf, '#', sizeof buf);
        bool atEnd = !s.atEnd;
        ASSERT_TRUE(CliFGetLine(in, buf, s.size, &atEnd));
        EXPECT_STREQ(buf, s.text);
        EXPECT_EQ(atEnd, s.atEnd) << s.text;
    }
}

TEST_F(StreamsTest, ReadLineKeepsLineEndAndSplitsLongLines) {
    FILE *in = Reader("0123456789\nab\r\n\nz");
    struct Step {
        uint32_t size;
        const char *text;
        bool atEnd;
    } steps[] = {
        {5, "0123", false},    {5, "4567", false}, {5, "89\n", false}, {1, "", false},
        {64, "ab\r\n", false}, {64, "\n", false},  {64, "z", true},    {64, "", true},
    };
    for (const Step &s : steps) {
        char buf[64];
        memset(buf, '#', sizeof buf);
        bool atEnd = !s.atEnd;
        ASSERT_TRUE(CliFReadLine(in, buf, s.size, &atEnd));
        EXPECT_STREQ(buf, s.text);
        EXPECT_EQ(atEnd, s.atEnd) << s.text;
    }
}

TEST_F(StreamsTest, LineReadersReportReadErrors) {
    using LineFn = bool (*)(FILE *, char *, uint32_t, bool *);
    for (LineFn read : {LineFn{&CliFGetLine}, LineFn{&CliFReadLine}}) {
        FILE *out = Unreadable();
        char buf[16] = "stale";
        EXPECT_FALSE(read(out, buf, sizeof buf, nullptr));
        EXPECT_STREQ(buf, "") << "no stale text survives a failed read";
        EXPECT_FALSE(read(nullptr, buf, sizeof buf, nullptr));
        EXPECT_FALSE(read(Reader("x"), buf, 0, nullptr));
    }
}

TEST_F(StreamsTest, WriteAllOrFailure) {
    FILE *out = Keep(fopen(Path("out.txt").c_str(), "wb"));
    EXPECT_TRUE(CliFWrite(out, "hello", 5));
    EXPECT_TRUE(CliFWrite(out, nullptr, 0));
    fflush(out);
    uint64_t len = 0;
    ASSERT_TRUE(CliFGetLength64(out, &len));
    EXPECT_EQ(len, 5u);

    FILE *readOnly = Reader("x");
    EXPECT_FALSE(CliFWrite(readOnly, "hello", 5));
    EXPECT_FALSE(CliFWrite(nullptr, "hello", 5));
    EXPECT_FALSE(CliFWrite(out, nullptr, 3));
}

TEST_F(StreamsTest, SeeksMoveForwardAndFailOnPipes) {
    FILE *in = Reader("0123456789");
    ASSERT_TRUE(CliFSeekSet(in, 3));
    EXPECT_EQ(getc(in), '3');
    ASSERT_TRUE(CliFSeekCur(in, 2));
    EXPECT_EQ(getc(in), '6');
    ASSERT_TRUE(CliFSeekEnd(in));
    EXPECT_EQ(ftello(in), 10);

    // Beyond 4 GiB the 64-bit seek is used.
    ASSERT_TRUE(CliFSeekSet(in, 0x100000005ull));
    EXPECT_EQ(ftello(in), 0x100000005ll);
    EXPECT_FALSE(CliFSeekSet(in, UINT64_MAX)) << "beyond the range of off_t";

    FILE *pipeIn = PipeReader("abc");
    EXPECT_FALSE(CliFSeekSet(pipeIn, 1));
    EXPECT_FALSE(CliFSeekCur(pipeIn, 1));
    EXPECT_FALSE(CliFSeekEnd(pipeIn));
    EXPECT_FALSE(CliFSeekEnd(nullptr));
    EXPECT_FALSE(CliFSeekSet(nullptr, 0));
}

TEST_F(StreamsTest, LengthsAndTheirFailures) {
    FILE *in = Reader("0123456789");
    uint64_t len64 = 0;
    uint32_t len32 = 0;
    ASSERT_TRUE(CliFGetLength64(in, &len64));
    EXPECT_EQ(len64, 10u);
    EXPECT_EQ(getc(in), EOF) << "left at the end";
    ASSERT_TRUE(CliFGetLength(in, &len32));
    EXPECT_EQ(len32, 10u);

    FILE *pipeIn = PipeReader("abc");
    EXPECT_FALSE(CliFGetLength64(pipeIn, &len64));
    EXPECT_FALSE(CliFGetLength(pipeIn, &len32));
    EXPECT_FALSE(CliFGetLength(nullptr, &len32));
}

TEST_F(StreamsTest, LengthBeyond32Bits) {
    FILE *big = Sparse(0x100000005ull);
    uint64_t len64 = 0;
    uint32_t len32 = 0;
    ASSERT_TRUE(CliFGetLength64(big, &len64));
    EXPECT_EQ(len64, 0x100000005ull);
    ASSERT_TRUE(CliFGetLength(big, &len32));
    EXPECT_EQ(len32, 5u) << "the low 32 bits";

    FILE *allOnes = Sparse(0xFFFFFFFFull);
    ASSERT_TRUE(CliFGetLength64(allOnes, &len64));
    EXPECT_EQ(len64, 0xFFFFFFFFull);
    EXPECT_FALSE(CliFGetLength(allOnes, &len32)) << "indistinguishable from the error value";
}

TEST_F(StreamsTest, PositionedReads) {
    FILE *in = Reader("0123456789");
    struct Case {
        uint64_t offset;
        uint32_t len;
        uint32_t countIn;
        bool ok;
        const char *data;  // bytes expected in the buffer
        uint32_t countOut; // count afterwards
    } cases[] = {
        {0, 4, 0, true, "0123", 4},   {7, 8, 0, true, "789", 3}, // only what is there
        {5, 10, 5, true, "56789", 5},                            // demanded count exactly available
        {5, 10, 10, false, "", 10},                              // demands more than remains
        {10, 4, 0, true, "", 0},    // at the end: nothing read, count unchanged
        {10, 4, 77, false, "", 77}, // at the end with a demand
        {11, 4, 0, false, "", 0},   // beyond the end
        {2, 0, 0, true, "", 0},     // nothing asked
    };
    for (const Case &c : cases) {
        char buf[16];
        memset(buf, '#', sizeof buf);
        uint32_t count = c.countIn;
        EXPECT_EQ(CliFRead(in, c.offset, buf, c.len, &count), c.ok) << "offset " << c.offset;
        EXPECT_EQ(count, c.countOut) << "offset " << c.offset;
        EXPECT_EQ(std::string(buf, strlen(c.data)), c.data) << "offset " << c.offset;
        EXPECT_EQ(buf[strlen(c.data)], '#') << "nothing past the bytes read";
    }
    char buf[4];
    EXPECT_TRUE(CliFRead(in, 1, buf, 2, nullptr));
    EXPECT_EQ(std::string(buf, 2), "12");
    EXPECT_FALSE(CliFRead(PipeReader("abc"), 0, buf, 2, nullptr));
    EXPECT_FALSE(CliFRead(nullptr, 0, buf, 2, nullptr));
}

TEST_F(StreamsTest, PositionedReadBeyond32Bits) {
    FILE *big = Sparse(0x100000005ull);
    char buf[8] = {};
    uint32_t count = 0;
    ASSERT_TRUE(CliFRead(big, 0x100000000ull, buf, sizeof buf, &count));
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(std::string(buf, 5), "tail!");
    // 4 GiB ahead of offset 0: more than enough for any 32-bit demand.
    FILE *exact = Sparse(0x100000000ull);
    count = 3;
    ASSERT_TRUE(CliFRead(exact, 0, buf, 3, &count));
    EXPECT_EQ(count, 3u);
}

} // namespace
