// Redirection of the standard streams to files and back.
#include <unistd.h>

#include "lib/cli/osx/ossys.h"
#include "lib/cli/shared/cli.h"

bool CliStreamRedirect(const char *path, FILE *stream, int32_t stdFd, bool writeMode,
                       CliStreamRedir *rec) {
    const char *mode = writeMode ? "w" : "r";
    int fd = fileno(stream);
    if (path == nullptr) {
        return true;
    }
    if (rec->redirFile != nullptr) {
        return false;
    }
    rec->stdFd = stdFd;
    rec->stdStream = stream;
    if (fd < 0) {
        FILE *reopened = freopen(path, mode, stream);
        if (reopened == nullptr) {
            return false;
        }
        rec->redirFile = reopened;
        rec->savedFd = -1;
        return true;
    }
    FILE *file = CliFOpen(path, mode);
    if (file == nullptr) {
        return false;
    }
    rec->savedFd = gOsSys.dup(fd);
    if (rec->savedFd < 0) {
        CliFClose(file);
        rec->redirFile = nullptr;
        return false;
    }
    if (gOsSys.dup2(fileno(file), fd) < 0) {
        gOsSys.close(rec->savedFd);
        rec->savedFd = -1;
        CliFClose(file);
        rec->redirFile = nullptr;
        return false;
    }
    rec->redirFile = file;
    return true;
}

bool CliStreamRestore(CliStreamRedir *rec) {
    if (rec->redirFile == nullptr) {
        return true;
    }
    CliFFlush(rec->redirFile);
    int restored = rec->savedFd >= 0 ? gOsSys.dup2(rec->savedFd, fileno(rec->stdStream))
                                     : gOsSys.dup2(rec->stdFd, fileno(rec->redirFile));
    if (restored < 0) {
        return false;
    }
    CliFClose(rec->redirFile);
    rec->redirFile = nullptr;
    if (rec->savedFd >= 0) {
        gOsSys.close(rec->savedFd);
        rec->savedFd = -1;
    }
    return true;
}

bool CliConsoleRedirect(const char *outPath, const char *errPath, const char *inPath) {
    return CliStreamRedirect(outPath, stdout, 1, true, &gCli->outRedir) &&
           CliStreamRedirect(errPath, stderr, 2, true, &gCli->errRedir) &&
           CliStreamRedirect(inPath, stdin, 0, false, &gCli->inRedir);
}

bool CliConsoleRestore() {
    if (gCli == nullptr) {
        return true;
    }
    return CliStreamRestore(&gCli->outRedir) && CliStreamRestore(&gCli->errRedir) &&
           CliStreamRestore(&gCli->inRedir);
}
