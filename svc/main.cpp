// trelvoxlogd: records the event log of the adapter driver.
#include "svc/clt.h"

int main(int argc, char **argv) {
    CltMain(argc, argv);
}
