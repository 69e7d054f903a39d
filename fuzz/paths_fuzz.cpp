// The path routines against a model of the path rules: the splitting
// routines with and without a destination (and their CliFile* twins, which
// must answer the same), joining with CliFileMakePath and separator
// conversion. Destinations are followed by a guard region.
//
// Input: destination size byte, flags byte (bit 0: with extension / with
// dot; bit 1: no destination; bit 2: null path; bit 3: separator backslash
// for the conversion), then the directory or path text, and after a NUL
// byte, when there is one, the file name for the join.
#include <memory>
#include <string>

#include "fuzz/support/fuzz_support.h"
#include "lib/cli/shared/clibase.h"
#include "lib/cli/shared/clifile.h"

using fuzzsupport::GuardedBuffer;
using fuzzsupport::Quote;

namespace {

struct Split {
    std::string dir;  // up to and including the last '/'
    std::string base; // after it
    bool hasExt;
    size_t dot; // position of the extension's '.' in base
};

Split SplitPath(const std::string &path) {
    Split s;
    size_t slash = path.rfind('/');
    s.dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    s.base = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = s.base.rfind('.');
    s.hasExt = dot != std::string::npos && dot != 0;
    s.dot = dot;
    return s;
}

// A heap copy of exactly the text's size.
std::unique_ptr<char[]> Owned(const std::string &text) {
    std::unique_ptr<char[]> p(new char[text.size() + 1]);
    memcpy(p.get(), text.c_str(), text.size() + 1);
    return p;
}

// The destination holds `text` and its terminator; with `restUntouched`
// nothing behind them was written.
void CheckHolds(GuardedBuffer &dst, const std::string &text, bool restUntouched,
                const std::string &detail) {
    FUZZ_CHECK(memcmp(dst.Data(), text.c_str(), text.size() + 1) == 0,
               detail + ": holds " + Quote(dst.Data(), text.size() + 1) + ", want " + Quote(text));
    for (size_t i = text.size() + 1; restUntouched && i < dst.Size(); ++i) {
        FUZZ_CHECK(static_cast<uint8_t>(dst.Data()[i]) == GuardedBuffer::kPattern,
                   detail + ": wrote behind the terminator");
    }
}

using SplitFn = char *(*)(char *, uint32_t, const char *, bool);

// Runs one splitting routine and its CliFile* twin on separate
// destinations; both must answer the same (a result inside the destination
// at the same offset, any other at the same address) and write the same.
// The first one's result is left in *result and its text in dst.
void CompareTwins(SplitFn a, SplitFn b, bool withDst, uint32_t size, const char *path, bool flag,
                  GuardedBuffer &dst, char **result, const std::string &detail) {
    GuardedBuffer other(size);
    *result = a(withDst ? dst.Data() : nullptr, size, path, flag);
    char *twin = b(withDst ? other.Data() : nullptr, size, path, flag);
    auto inside = [size](const char *p, GuardedBuffer &buffer) {
        return p != nullptr && p >= buffer.Data() && p <= buffer.Data() + size;
    };
    bool same = inside(*result, dst) && inside(twin, other)
                    ? *result - dst.Data() == twin - other.Data()
                    : *result == twin;
    FUZZ_CHECK(same, detail + ": the CliFile* twin answers differently");
    FUZZ_CHECK(memcmp(dst.Data(), other.Data(), size) == 0,
               detail + ": the CliFile* twin writes differently");
}

char *BaseDirA(char *d, uint32_t s, const char *p, bool) {
    return CliFBaseDir(d, s, p);
}
char *BaseDirB(char *d, uint32_t s, const char *p, bool) {
    return CliFileBaseDir(d, s, p);
}

void CheckBaseDir(uint32_t size, bool withDst, const char *path, const std::string &text) {
    std::string detail = "CliFBaseDir of " + (path ? Quote(text) : std::string("null")) +
                         (withDst ? " into " + std::to_string(size) : " without destination");
    GuardedBuffer dst(size);
    char *r;
    CompareTwins(BaseDirA, BaseDirB, withDst, size, path, false, dst, &r, detail);
    FUZZ_CHECK(dst.Intact(), detail + ": wrote past the destination");
    Split s = SplitPath(text);
    if (!withDst) {
        FUZZ_CHECK(r == (path ? path + s.dir.size() : nullptr), detail);
        return;
    }
    if (size == 0) {
        FUZZ_CHECK(r == nullptr && dst.Untouched(), detail);
        return;
    }
    if (path == nullptr) {
        FUZZ_CHECK(r == dst.Data(), detail);
        CheckHolds(dst, "", true, detail);
        return;
    }
    if (s.dir.size() + 1 > size) {
        FUZZ_CHECK(r == nullptr && dst.Untouched(), detail + ": should fail unwritten");
        return;
    }
    FUZZ_CHECK(r == dst.Data() + s.dir.size(), detail + ": should point at the terminator");
    CheckHolds(dst, s.dir, true, detail);
}

void CheckBaseName(uint32_t size, bool withDst, const char *path, const std::string &text,
                   bool withExt) {
    std::string detail = "CliFBaseName of " + (path ? Quote(text) : std::string("null")) +
                         (withDst ? " into " + std::to_string(size) : " without destination") +
                         (withExt ? " with extension" : " without extension");
    GuardedBuffer dst(size);
    char *r;
    CompareTwins(CliFBaseName, CliFileBaseName, withDst, size, path, withExt, dst, &r, detail);
    FUZZ_CHECK(dst.Intact(), detail + ": wrote past the destination");
    if (path == nullptr) {
        FUZZ_CHECK(r == nullptr && dst.Untouched(), detail);
        return;
    }
    Split s = SplitPath(text);
    const char *base = path + s.dir.size();
    if (!withDst || size == 0) {
        bool anyDot = s.base.find('.') != std::string::npos;
        FUZZ_CHECK(r == (!withExt && anyDot ? nullptr : base), detail);
        FUZZ_CHECK(dst.Untouched(), detail + ": wrote without a destination");
        return;
    }
    std::string name = !withExt && s.hasExt ? s.base.substr(0, s.dot) : s.base;
    if (name.size() + 1 > size) {
        FUZZ_CHECK(r == nullptr && dst.Untouched(), detail + ": should fail unwritten");
        return;
    }
    FUZZ_CHECK(r == dst.Data(), detail);
    CheckHolds(dst, name, true, detail);
}

void CheckExt(uint32_t size, bool withDst, const char *path, const std::string &text,
              bool withDot) {
    std::string detail = "CliFExt of " + (path ? Quote(text) : std::string("null")) +
                         (withDst ? " into " + std::to_string(size) : " without destination") +
                         (withDot ? " with dot" : " without dot");
    GuardedBuffer dst(size);
    char *r;
    CompareTwins(CliFExt, CliFileExt, withDst, size, path, withDot, dst, &r, detail);
    FUZZ_CHECK(dst.Intact(), detail + ": wrote past the destination");
    if (path == nullptr) {
        FUZZ_CHECK(r == nullptr && dst.Untouched(), detail);
        return;
    }
    Split s = SplitPath(text);
    size_t at = !s.hasExt ? text.size() : s.dir.size() + s.dot + (withDot ? 0 : 1);
    if (!withDst || size == 0) {
        FUZZ_CHECK(r == path + at, detail);
        FUZZ_CHECK(dst.Untouched(), detail + ": wrote without a destination");
        return;
    }
    std::string ext = text.substr(at);
    if (ext.size() + 1 > size) {
        FUZZ_CHECK(r == nullptr && dst.Untouched(), detail + ": should fail unwritten");
        return;
    }
    FUZZ_CHECK(r == dst.Data(), detail);
    CheckHolds(dst, ext, false, detail);
    // An extension is followed by zero bytes up to the size.
    for (size_t i = ext.size(); !ext.empty() && i < size; ++i) {
        FUZZ_CHECK(dst.Data()[i] == '\0', detail + ": rest of the destination not zero-filled");
    }
}

std::string Trim(const std::string &text) {
    auto white = [](char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; };
    size_t first = 0;
    while (first < text.size() && white(text[first])) {
        ++first;
    }
    size_t end = text.size();
    while (end > first && white(text[end - 1])) {
        --end;
    }
    return text.substr(first, end - first);
}

std::string Forward(std::string text) {
    for (char &c : text) {
        if (c == '\\') {
            c = '/';
        }
    }
    return text;
}

// What CliFileMakePath gives: success, and the destination's text (or
// "unwritten" when the directory did not even fit).
struct Joined {
    bool ok;
    bool written;
    std::string text;
};

Joined ModelJoin(uint32_t size, const std::string &dir, const std::string *name) {
    Joined j{false, false, ""};
    if (size == 0 || dir.size() >= 1024) {
        return j;
    }
    std::string d = Trim(dir);
    if (d.size() + 1 > size) {
        return j;
    }
    j.written = true;
    j.text = Forward(d);
    if (j.text.size() < 2) {
        return j;
    }
    if (j.text.back() != '/') {
        if (j.text.size() + 2 > size) {
            return j;
        }
        j.text += '/';
    }
    if (name == nullptr) {
        j.ok = true;
        return j;
    }
    if (name->size() >= 1024) {
        return j;
    }
    std::string n = Forward(Trim(*name));
    if (j.text.size() + n.size() + 1 > size) {
        return j;
    }
    j.text += n;
    j.ok = true;
    return j;
}

void CheckMakePath(uint32_t size, const std::string &dir, const std::string *name) {
    std::string detail = "CliFileMakePath of " + Quote(dir) + " and " +
                         (name ? Quote(*name) : std::string("null")) + " into " +
                         std::to_string(size);
    auto ownedDir = Owned(dir);
    auto ownedName = name ? Owned(*name) : nullptr;
    GuardedBuffer dst(size);
    bool ok = CliFileMakePath(dst.Data(), size, ownedDir.get(), ownedName.get());
    Joined want = ModelJoin(size, dir, name);
    FUZZ_CHECK(ok == want.ok, detail + ": model says " + (want.ok ? "success" : "failure"));
    FUZZ_CHECK(dst.Intact(), detail + ": wrote past the destination");
    if (!want.written) {
        FUZZ_CHECK(dst.Untouched(), detail + ": should fail unwritten");
        return;
    }
    std::string got;
    FUZZ_CHECK(dst.Text(&got) && got == want.text,
               detail + ": holds " + Quote(got) + ", want " + Quote(want.text));
}

void CheckConvert(const std::string &text, bool backslash) {
    char sep = backslash ? '\\' : '/';
    std::string want = text;
    for (char &c : want) {
        if (c == '/' || c == '\\') {
            c = sep;
        }
    }
    auto owned = Owned(text);
    CliFileConvertPath(owned.get(), sep);
    FUZZ_CHECK(want == owned.get(), "CliFileConvertPath of " + Quote(text));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzsupport::Reader in(data, size);
    uint32_t dstSize = in.Byte();
    uint8_t flags = in.Byte();
    std::string rest = in.Rest();
    size_t nul = rest.find('\0');
    std::string path = rest.substr(0, nul);
    std::string nameStorage;
    const std::string *name = nullptr;
    if (nul != std::string::npos) {
        nameStorage = rest.substr(nul + 1);
        nameStorage = nameStorage.substr(0, nameStorage.find('\0'));
        name = &nameStorage;
    }

    bool flag = (flags & 1) != 0;
    bool withDst = (flags & 2) == 0;
    auto owned = Owned(path);
    const char *p = (flags & 4) != 0 ? nullptr : owned.get();

    CheckBaseDir(dstSize, withDst, p, path);
    CheckBaseName(dstSize, withDst, p, path, flag);
    CheckExt(dstSize, withDst, p, path, flag);
    CheckMakePath(dstSize, path, name);
    CheckConvert(path, (flags & 8) != 0);
    return 0;
}
