// Null-tolerant wrappers around the C library's streams.
#include "lib/cli/osx/ossys.h"
#include "lib/cli/shared/clibase.h"

FILE *CliFOpen(const char *path, const char *mode) {
    return path == nullptr ? nullptr : gOsSys.fopen(path, mode);
}

void CliFClose(FILE *stream) {
    if (stream != nullptr) {
        fclose(stream);
    }
}

void CliFFlush(FILE *stream) {
    if (stream != nullptr) {
        fflush(stream);
    }
}
