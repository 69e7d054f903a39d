// Path splitting and joining: results, the pointers returned, and that a
// destination that is too small is left untouched.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "lib/cli/shared/clibase.h"
#include "lib/cli/shared/clifile.h"
#include "tests/support/guarded_buffer.h"

namespace {

constexpr char kSentinel = '#';

// A destination of the given size in a sentinel-filled block, so that a
// write past size is visible.
struct Dest : testsupport::GuardedBuffer {
    explicit Dest(uint32_t size) : GuardedBuffer(size, kSentinel) {}
};

// The splitting functions and their file-module twins must agree.
using BaseDirFn = char *(*)(char *, uint32_t, const char *);
using NameFn = char *(*)(char *, uint32_t, const char *, bool);

class BaseDirTwins : public ::testing::TestWithParam<BaseDirFn> {};
class BaseNameTwins : public ::testing::TestWithParam<NameFn> {};
class ExtTwins : public ::testing::TestWithParam<NameFn> {};

TEST_P(BaseDirTwins, DirectoryPartWithDestination) {
    struct Case {
        const char *path;
        const char *dir;
    } cases[] = {
        {"/var/quenlab/log/Trelvox.log", "/var/quenlab/log/"},
        {"/", "/"},
        {"name", ""},
        {"a/b/", "a/b/"},
        {"a.d/file", "a.d/"},
        {"back\\slash\\file", ""}, // the backslash is not a separator
        {"", ""},
    };
    for (const Case &c : cases) {
        Dest d(1024);
        char *end = GetParam()(d.Data(), d.Size(), c.path);
        ASSERT_NE(end, nullptr) << c.path;
        EXPECT_STREQ(d.Data(), c.dir) << c.path;
        EXPECT_EQ(end, d.Data() + strlen(c.dir)) << "result points at the terminator: " << c.path;
        EXPECT_EQ(*end, '\0');
    }
}

TEST_P(BaseDirTwins, WithoutDestinationPointsAtBaseName) {
    const char *path = "/var/quenlab/log/Trelvox.log";
    EXPECT_EQ(GetParam()(nullptr, 0, path), path + 17);
    const char *bare = "name";
    EXPECT_EQ(GetParam()(nullptr, 99, bare), bare);
    const char *dirOnly = "a/b/";
    EXPECT_STREQ(GetParam()(nullptr, 0, dirOnly), "");
    EXPECT_EQ(GetParam()(nullptr, 0, nullptr), nullptr);
}

TEST_P(BaseDirTwins, SizeBoundary) {
    // "/tmp/" needs 6 bytes with its terminator.
    Dest fits(6);
    ASSERT_NE(GetParam()(fits.Data(), fits.Size(), "/tmp/x"), nullptr);
    EXPECT_STREQ(fits.Data(), "/tmp/");
    EXPECT_TRUE(fits.UntouchedFrom(6));

    Dest shortBy1(5);
    EXPECT_EQ(GetParam()(shortBy1.Data(), shortBy1.Size(), "/tmp/x"), nullptr);
    EXPECT_TRUE(shortBy1.UntouchedFrom(0));

    Dest none(0);
    EXPECT_EQ(GetParam()(none.Data(), none.Size(), "name"), nullptr);
    EXPECT_TRUE(none.UntouchedFrom(0));
}

TEST_P(BaseDirTwins, NullPathEmptiesDestination) {
    Dest d(4);
    EXPECT_EQ(GetParam()(d.Data(), d.Size(), nullptr), d.Data());
    EXPECT_EQ(d[0], '\0');
}

INSTANTIATE_TEST_SUITE_P(Paths, BaseDirTwins, ::testing::Values(&CliFBaseDir, &CliFileBaseDir));

TEST_P(BaseNameTwins, CopiesNameWithAndWithoutExtension) {
    struct Case {
        const char *path;
        bool withExt;
        const char *name;
    } cases[] = {
        {"/usr/bin/tool.bin", false, "tool"},
        {"/usr/bin/tool.bin", true, "tool.bin"},
        {"/x/.profile", false, ".profile"},
        {"/x/.profile", true, ".profile"},
        {"a.b.c", false, "a.b"},
        {"a.b.c", true, "a.b.c"},
        {"/a.d/file", false, "file"},
        {"dir/", false, ""},
        {"trace.", false, "trace"},
        {"x/..", false, "."},
    };
    for (const Case &c : cases) {
        Dest d(64);
        EXPECT_EQ(GetParam()(d.Data(), d.Size(), c.path, c.withExt), d.Data()) << c.path;
        EXPECT_STREQ(d.Data(), c.name) << c.path << " withExt " << c.withExt;
    }
}

TEST_P(BaseNameTwins, WithoutDestinationPointsIntoPath) {
    const char *path = "/x/tool.bin";
    EXPECT_EQ(GetParam()(nullptr, 0, path, false), nullptr) << "cannot shorten in place";
    EXPECT_EQ(GetParam()(nullptr, 0, path, true), path + 3);
    const char *plain = "/x/tool";
    EXPECT_EQ(GetParam()(nullptr, 0, plain, false), plain + 3);
    EXPECT_EQ(GetParam()(nullptr, 0, plain, true), plain + 3);
    // Size 0 counts as no destination, even with a buffer given.
    char buf[8] = "keep";
    EXPECT_EQ(GetParam()(buf, 0, plain, false), plain + 3);
    EXPECT_STREQ(buf, "keep");
    // A leading '.' is not an extension, but it still cannot be cut away.
    EXPECT_EQ(GetParam()(nullptr, 0, "/x/.profile", false), nullptr);
    EXPECT_EQ(GetParam()(nullptr, 0, nullptr, true), nullptr);
}

TEST_P(BaseNameTwins, SizeBoundary) {
    std::string name31(31, 'n');
    Dest fits(32);
    EXPECT_EQ(GetParam()(fits.Data(), fits.Size(), ("/d/" + name31).c_str(), true), fits.Data());
    EXPECT_EQ(std::string(fits.Data()), name31);
    EXPECT_TRUE(fits.UntouchedFrom(32));

    Dest tooSmall(32);
    EXPECT_EQ(GetParam()(tooSmall.Data(), tooSmall.Size(), ("/d/" + name31 + "x").c_str(), true),
              nullptr);
    EXPECT_TRUE(tooSmall.UntouchedFrom(0));

    // The extension does not count when it is left out.
    Dest noExt(32);
    EXPECT_EQ(GetParam()(noExt.Data(), noExt.Size(), ("/d/" + name31 + ".longext").c_str(), false),
              noExt.Data());
    EXPECT_EQ(std::string(noExt.Data()), name31);
}

INSTANTIATE_TEST_SUITE_P(Paths, BaseNameTwins, ::testing::Values(&CliFBaseName, &CliFileBaseName));

TEST_P(ExtTwins, CopiesExtensionAndZeroFillsRest) {
    struct Case {
        const char *path;
        bool withDot;
        const char *ext;
    } cases[] = {
        {"Trelvox.log", true, ".log"}, {"Trelvox.log", false, "log"},
        {"/a.d/file", true, ""},       {"/x/.profile", true, ""},
        {"a.b.c", true, ".c"},         {"trace.", true, "."},
        {"trace.", false, ""},         {"", true, ""},
    };
    for (const Case &c : cases) {
        Dest d(16);
        EXPECT_EQ(GetParam()(d.Data(), d.Size(), c.path, c.withDot), d.Data()) << c.path;
        EXPECT_STREQ(d.Data(), c.ext) << c.path;
        EXPECT_TRUE(d.UntouchedFrom(16)) << c.path;
    }
    Dest d(8);
    ASSERT_NE(GetParam()(d.Data(), d.Size(), "x.ab", true), nullptr);
    for (int i = 3; i < 8; ++i) {
        EXPECT_EQ(d[i], '\0') << "byte " << i;
    }
}

TEST_P(ExtTwins, WithoutDestinationPointsIntoPath) {
    const char *path = "/dir/Trelvox.log";
    EXPECT_EQ(GetParam()(nullptr, 0, path, true), path + 12);
    EXPECT_EQ(GetParam()(nullptr, 0, path, false), path + 13);
    const char *none = "/a.d/file";
    EXPECT_EQ(GetParam()(nullptr, 0, none, true), none + strlen(none));
    EXPECT_EQ(GetParam()(nullptr, 0, nullptr, true), nullptr);
}

TEST_P(ExtTwins, SizeBoundary) {
    // ".extension1234" is 14 characters: 15 bytes fit, 14 do not.
    Dest fits(15);
    EXPECT_NE(GetParam()(fits.Data(), fits.Size(), "f.extension1234", true), nullptr);
    EXPECT_TRUE(fits.UntouchedFrom(15));
    Dest tooSmall(14);
    EXPECT_EQ(GetParam()(tooSmall.Data(), tooSmall.Size(), "f.extension1234", true), nullptr);
    EXPECT_TRUE(tooSmall.UntouchedFrom(0));
}

INSTANTIATE_TEST_SUITE_P(Paths, ExtTwins, ::testing::Values(&CliFExt, &CliFileExt));

TEST(MakePath, JoinsTrimsAndConvertsSeparators) {
    struct Case {
        const char *dir;
        const char *name;
        const char *path;
    } cases[] = {
        {" /var/log ", "x.log", "/var/log/x.log"},
        {"C:\\data\\", "sub\\my.log", "C:/data/sub/my.log"},
        {"ab", nullptr, "ab/"},
        {"/var/log/", "\t a.log \n", "/var/log/a.log"},
        {"/var", "/abs", "/var//abs"}, // no separator is removed
        {"./", "x", "./x"},
        {"//", nullptr, "//"},
    };
    for (const Case &c : cases) {
        char dst[64];
        ASSERT_TRUE(CliFileMakePath(dst, sizeof dst, c.dir, c.name)) << c.dir;
        EXPECT_STREQ(dst, c.path);
    }
}

TEST(MakePath, RefusesShortDirectories) {
    for (const char *dir : {"", "/", ".", "  x  ", "\\", static_cast<const char *>(nullptr)}) {
        char dst[64];
        EXPECT_FALSE(CliFileMakePath(dst, sizeof dst, dir, "name")) << (dir ? dir : "(null)");
    }
}

TEST(MakePath, SizeLimits) {
    // "/var/log/x.log" is 14 characters: 15 bytes fit.
    char dst[15];
    EXPECT_TRUE(CliFileMakePath(dst, 15, "/var/log", "x.log"));
    EXPECT_STREQ(dst, "/var/log/x.log");

    // One short: the join fails and leaves the directory with its '/'.
    Dest shortBy1(14);
    EXPECT_FALSE(CliFileMakePath(shortBy1.Data(), shortBy1.Size(), "/var/log", "x.log"));
    EXPECT_STREQ(shortBy1.Data(), "/var/log/");

    // No room for the added '/': the directory stays without it.
    Dest noSlash(9);
    EXPECT_FALSE(CliFileMakePath(noSlash.Data(), noSlash.Size(), "/var/log", nullptr));
    EXPECT_STREQ(noSlash.Data(), "/var/log");
    EXPECT_TRUE(noSlash.UntouchedFrom(9));

    // A directory that does not fit at all is not written.
    Dest tiny(4);
    EXPECT_FALSE(CliFileMakePath(tiny.Data(), tiny.Size(), "/var/log", nullptr));
    EXPECT_TRUE(tiny.UntouchedFrom(0));

    // The work area holds 1023 characters: a longer directory or name fails
    // even though the trimmed text would be shorter.
    std::string longDir = "/" + std::string(1022, 'd');
    static char big[4096];
    EXPECT_TRUE(CliFileMakePath(big, sizeof big, longDir.c_str(), nullptr));
    EXPECT_FALSE(CliFileMakePath(big, sizeof big, (longDir + " ").c_str(), nullptr));
    EXPECT_FALSE(CliFileMakePath(big, sizeof big, "/d", std::string(1024, 'n').c_str()));
    EXPECT_FALSE(CliFileMakePath(nullptr, 10, "/d", "n"));
}

TEST(ConvertPath, RewritesBothSeparators) {
    struct Case {
        const char *in;
        char sep;
        const char *out;
    } cases[] = {
        {"a/b\\c", '\\', "a\\b\\c"},   {"a/b\\c", 'x', "a/b/c"}, {"a/b\\c", '/', "a/b/c"},
        {"\\\\srv/x", '/', "//srv/x"}, {"", '\\', ""},
    };
    for (const Case &c : cases) {
        char buf[32];
        strcpy(buf, c.in);
        CliFileConvertPath(buf, c.sep);
        EXPECT_STREQ(buf, c.out);
    }
    CliFileConvertPath(nullptr, '/'); // ignored
}

} // namespace
