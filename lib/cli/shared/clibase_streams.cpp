// Null-tolerant wrappers around the C library's streams.
#include <climits>
#include <cstring>

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

bool CliFWrite(FILE *stream, const void *data, uint32_t len) {
    if (stream == nullptr || (data == nullptr && len != 0)) {
        return false;
    }
    return len == 0 || fwrite(data, 1, len, stream) == len;
}

bool CliFSeekEnd(FILE *stream) {
    return stream != nullptr && fseeko(stream, 0, SEEK_END) == 0;
}

namespace {

// Offsets that fit in 32 bits go through the long-offset seek, the rest
// through the off_t one; an offset beyond off_t's range cannot be reached.
bool SeekForward(FILE *stream, uint64_t offset, int whence) {
    if (stream == nullptr) {
        return false;
    }
    if (offset <= UINT32_MAX) {
        return fseek(stream, static_cast<long>(offset), whence) == 0;
    }
    if (offset > static_cast<uint64_t>(INT64_MAX)) {
        return false;
    }
    return fseeko(stream, static_cast<off_t>(offset), whence) == 0;
}

} // namespace

bool CliFSeekCur(FILE *stream, uint64_t offset) {
    return SeekForward(stream, offset, SEEK_CUR);
}

bool CliFSeekSet(FILE *stream, uint64_t offset) {
    return SeekForward(stream, offset, SEEK_SET);
}

bool CliFReadLine(FILE *stream, char *buf, uint32_t size, bool *atEnd) {
    if (stream == nullptr || buf == nullptr || size == 0) {
        return false;
    }
    bool ok = true;
    uint32_t used = 0;
    while (used < size - 1) {
        int ch = getc(stream);
        if (ch == EOF) {
            ok = !ferror(stream);
            break;
        }
        buf[used++] = static_cast<char>(ch);
        if (ch == '\n') {
            break;
        }
    }
    buf[used] = '\0';
    if (atEnd != nullptr) {
        *atEnd = feof(stream) != 0;
    }
    return ok;
}

bool CliFGetLine(FILE *stream, char *buf, uint32_t size, bool *atEnd) {
    if (stream == nullptr || buf == nullptr || size == 0) {
        return false;
    }
    buf[0] = '\0';
    int room = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    if (fgets(buf, room, stream) == nullptr) {
        buf[0] = '\0'; // fgets leaves the buffer undefined after an error
        if (ferror(stream)) {
            return false;
        }
    }
    if (atEnd != nullptr) {
        *atEnd = feof(stream) != 0;
    }
    buf[strcspn(buf, "\n")] = '\0';
    buf[strcspn(buf, "\r")] = '\0';
    return true;
}

bool CliFGetLength64(FILE *stream, uint64_t *length) {
    if (stream == nullptr || length == nullptr || fseeko(stream, 0, SEEK_END) != 0) {
        return false;
    }
    off_t pos = ftello(stream);
    if (pos < 0) {
        return false;
    }
    *length = static_cast<uint64_t>(pos);
    return true;
}

// The low 32 bits of the length. The position is read as an off_t: where
// long is 32 bits wide, ftell fails on a file beyond 2 GiB.
bool CliFGetLength(FILE *stream, uint32_t *length) {
    if (stream == nullptr || length == nullptr || fseeko(stream, 0, SEEK_END) != 0) {
        return false;
    }
    off_t pos = ftello(stream);
    uint32_t low = static_cast<uint32_t>(pos);
    if (pos < 0 || low == UINT32_MAX) {
        return false;
    }
    *length = low;
    return true;
}

bool CliFRead(FILE *stream, uint64_t offset, void *buf, uint32_t len, uint32_t *count) {
    uint64_t size = 0;
    if (!CliFGetLength64(stream, &size)) {
        uint32_t size32 = 0;
        if (!CliFGetLength(stream, &size32)) {
            return false;
        }
        size = size32;
    }
    if (size < offset) {
        return false;
    }
    // More than 4 GiB ahead still counts as "at least len available".
    uint64_t ahead = size - offset;
    uint32_t available = ahead > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ahead);
    if (count != nullptr && *count != 0 && *count > available) {
        return false;
    }
    uint32_t n = available < len ? available : len;
    if (n == 0) {
        return true;
    }
    if (buf == nullptr || !CliFSeekSet(stream, offset)) {
        return false;
    }
    if (fread(buf, 1, n, stream) != n) {
        return false;
    }
    if (count != nullptr) {
        *count = n;
    }
    return true;
}
