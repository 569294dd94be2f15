// The program's command line: nimboservice takes no arguments to run; --version and --help
// answer and end without starting anything.
#pragma once

// The exit status when the command line was handled (version, help, unknown argument), or
// -1 when the service is to start.
int nimbo_cli_handle(int argc, char** argv);
