// trelvoxlogd: records the event log of the adapter driver.
#include "lib/cli/shared/cli.h"
#include "lib/cli/shared/cliterm.h"

int main(int, char **) {
    CliInit();
    CliTermDispCliHelp(kCliHelpBanner);
    CliExit(0);
}
