// A fresh directory under /tmp for one test, removed with all it holds when
// the object goes, and the file operations the tests make in it. A fixture
// takes it as a second base so that its tests name the files directly.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace testsupport {

class TempDir {
public:
    TempDir() = default;
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    // Makes /tmp/<stem>XXXXXX, removing the one made before (a fixture's
    // SetUp may run again within a test); false on failure.
    bool Make(const std::string &stem);

    // The directory itself, and a name inside it.
    const std::string &Root() const { return root_; }
    std::string Path(const std::string &name) const { return root_ + "/" + name; }

    // Whole files by name, byte for byte; a missing file reads as "".
    void Write(const std::string &name, const std::string &contents) const;
    std::string Read(const std::string &name) const;

    bool Exists(const std::string &name) const;
    // The file's status, which must exist (zero-filled otherwise).
    struct stat Stat(const std::string &name) const;
    // Its permission bits.
    mode_t Mode(const std::string &name) const { return Stat(name).st_mode & 07777; }

private:
    void Remove();

    std::string root_;
};

// The whole contents of the file at path, "" when it cannot be read.
std::string ReadFile(const std::string &path);

// Sets the file-creation mask until the object goes.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : saved_(umask(mask)) {}
    ~ScopedUmask() { umask(saved_); }
    ScopedUmask(const ScopedUmask &) = delete;
    ScopedUmask &operator=(const ScopedUmask &) = delete;

private:
    mode_t saved_;
};

} // namespace testsupport
