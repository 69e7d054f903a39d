// English month names.
#include "lib/cli/shared/clibase.h"

const char *const CliMonthStr[12] = {"January",   "February", "March",    "April",
                                     "May",       "June",     "July",     "August",
                                     "September", "October",  "November", "December"};

const char *CliGetMonthStr(uint32_t month) {
    if (month < 1 || month > 12) {
        return "";
    }
    return CliMonthStr[month - 1];
}
