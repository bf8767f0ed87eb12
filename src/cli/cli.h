// The terminal commands: quarlo status, show and fetch, run by a person at a
// shell rather than by the host as CGI.
#pragma once

// Exit statuses of the terminal commands.
#define CLI_OK 0     // the command did its work
#define CLI_FAILED 1 // a repository git could not read, a fetch that failed, a refused path
#define CLI_USAGE 2  // the command line is wrong

// Runs the command named by argv[1] with its arguments; returns the exit
// status. argv[1] is anything but the CGI options (--meta, --version).
int cli_main(int argc, char **argv);
