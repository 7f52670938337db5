// SPDX-License-Identifier: MIT
// lw_machinestatus_dump: prints /status.json or /metrics for one of the test snapshots, so the
// external checkers (promtool, Python's JSON reader) can judge the real builders' output.
// Usage: lw_machinestatus_dump json|metrics default|busy|hostile
#include "machinestatusinputs.h"
#include "metrics.h"
#include "statusjson.h"

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s json|metrics default|busy|hostile\n", argv[0]);
        return 2;
    }
    TMachineStatus status;
    if (std::strcmp(argv[2], "default") == 0) {
        status = defaultMachineStatus();
    } else if (std::strcmp(argv[2], "busy") == 0) {
        status = busyMachineStatus();
    } else if (std::strcmp(argv[2], "hostile") == 0) {
        status = hostileMachineStatus();
    } else {
        std::fprintf(stderr, "unknown snapshot: %s\n", argv[2]);
        return 2;
    }
    std::string document;
    if (std::strcmp(argv[1], "json") == 0) {
        document = BuildStatusJson(status);
    } else if (std::strcmp(argv[1], "metrics") == 0) {
        document = BuildMetrics(status);
    } else {
        std::fprintf(stderr, "unknown document: %s\n", argv[1]);
        return 2;
    }
    std::fwrite(document.data(), 1, document.size(), stdout);
    return 0;
}
