// A program of the base layer that calls up into the runtime: it must not
// link against the base alone (link_probe.cmake).
#include "lib/cli/shared/clibase.h"

bool CliInit(); // the runtime's, declared by hand as a careless caller would

int main() {
    return CliInit() && CliStrLen("x") == 1 ? 0 : 1;
}
