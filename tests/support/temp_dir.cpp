#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

namespace testsupport {

TempDir::~TempDir() {
    Remove();
}

void TempDir::Remove() {
    if (root_.empty()) {
        return;
    }
    std::error_code error;
    std::filesystem::remove_all(root_, error);
    EXPECT_FALSE(error) << "removing " << root_ << ": " << error.message();
    root_.clear();
}

bool TempDir::Make(const std::string &stem) {
    Remove();
    std::string pattern = "/tmp/" + stem + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
        return false;
    }
    root_ = name.data();
    return true;
}

void TempDir::Write(const std::string &name, const std::string &contents) const {
    std::ofstream(Path(name), std::ios::binary) << contents;
}

std::string TempDir::Read(const std::string &name) const {
    return ReadFile(Path(name));
}

bool TempDir::Exists(const std::string &name) const {
    struct stat st;
    return stat(Path(name).c_str(), &st) == 0;
}

struct stat TempDir::Stat(const std::string &name) const {
    struct stat st = {};
    EXPECT_EQ(stat(Path(name).c_str(), &st), 0) << name;
    return st;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace testsupport
