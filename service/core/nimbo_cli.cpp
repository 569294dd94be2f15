#include "core/nimbo_cli.h"

#include <cstdio>
#include <cstring>

#include "util/nimbo_globals.h"

namespace {

const char* const kHelp =
    "Usage: nimboservice [--version | --help]\n"
    "\n"
    "The device-management agent of the terminal. Without arguments it runs in the foreground\n"
    "until SIGTERM: it reads nimboservice.ini beside the program, asks the management server\n"
    "(server_url, default " NIMBO_DEFAULT_SERVER_URL ") for its MQTT broker and connects with the\n"
    "device serial number as identity. Start and stop it with nimboservice.sh, the systemd unit\n"
    "or the init script rather than by hand.\n"
    "\n"
    "  --version   print the version and end\n"
    "  --help      print this text and end\n"
    "\n"
    "Environment: NIMBO_DEVICE_ROOT (simulated terminal root), NIMBO_LOG_STDERR=1 (echo the log),\n"
    "NIMBO_LOG_LEVEL=1..5. Manual: man nimboservice; protocol: docs/protocol.md.\n";

}  // namespace

int nimbo_cli_handle(int argc, char** argv) {
    if (argc < 2) return -1;
    const char* arg = argv[1];
    if (std::strcmp(arg, "--version") == 0 || std::strcmp(arg, "-V") == 0) {
        std::printf("%s %s (%s, version code %d, %s)\n", NIMBO_PROGRAM_NAME, NIMBO_VERSION, NIMBO_FULL_VERSION,
                    NIMBO_VERSION_CODE, NIMBO_BUILD_TYPE);
        return 0;
    }
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    std::fprintf(stderr, "nimboservice: unknown argument '%s'\n%s", arg, kHelp);
    return 2;
}
