// Runs a fuzz target's entry point once for every file of its corpus, the
// way CTest keeps every input ever found by the fuzzer fixed: the program
// takes files and directories (whose regular files are taken in name order)
// and fails when a check of the target fails or when it found no input.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/support/fuzz_support.h"

extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

bool ReadFile(const std::string &path, std::vector<uint8_t> *bytes) {
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    bytes->clear();
    uint8_t chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes->insert(bytes->end(), chunk, chunk + n);
    }
    bool ok = ferror(file) == 0;
    fclose(file);
    return ok;
}

// The regular files named by path: itself, or the files inside it.
bool Collect(const std::string &path, std::vector<std::string> *files) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        files->push_back(path);
        return true;
    }
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr) {
        return false;
    }
    std::vector<std::string> names;
    while (dirent *entry = readdir(dir)) {
        std::string full = path + "/" + entry->d_name;
        if (entry->d_name[0] != '.' && stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            names.push_back(full);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    files->insert(files->end(), names.begin(), names.end());
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (!Collect(argv[i], &files)) {
            fprintf(stderr, "replay: cannot read %s\n", argv[i]);
            return 2;
        }
    }
    if (files.empty()) {
        fprintf(stderr, "replay: no input found\n");
        return 2;
    }
    std::vector<uint8_t> bytes;
    for (const std::string &file : files) {
        if (!ReadFile(file, &bytes)) {
            fprintf(stderr, "replay: cannot read %s\n", file.c_str());
            return 2;
        }
        // Announced first, so that a failing input is named before its abort.
        fprintf(stderr, "replay: %s\n", file.c_str());
        // A copy of exactly the input's size, as the fuzzer hands it over,
        // so that a read past the end is caught by the address sanitizer.
        // An empty input still comes with a valid address, as from the fuzzer.
        std::vector<uint8_t> input(bytes);
        static const uint8_t kNothing = 0;
        LLVMFuzzerTestOneInput(input.empty() ? &kNothing : input.data(), input.size());
    }
    printf("replay: %zu inputs passed\n", files.size());
    return 0;
}
