// The command line: the options read before the settings file, the tools the server
// runs instead of starting (version, usage, password, install scripts, queue), and the
// names of the program's own directory and base.
//
// Everything here runs on the main thread during start-up; the tools write only the
// files they are named for. Texts taken from argv are copied.
//
//   CommandLine cl;
//   if (!cli_prescan(argc, argv, cl)) ...;
//   int status = cli_examine(cl);   // -1: start the server
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "foundation/result.h"

namespace tolvane {

class Gateway;

struct CommandLine {
    std::string config = "/etc/tolvane.ini";
    bool foreground = false;
    bool debug = false;
    std::string argv0;
    std::vector<std::string> args;  // after argv[0]
};
// Finds -config FILE and -foreground (the options read before the settings file). 0 when
// -config lacks its file name.
int cli_prescan(int argc, char** argv, CommandLine& cl);
// The first argument the program does not know (an option's own value is not one), or
// nullopt when every argument is known.
std::optional<std::string> cli_unknown(const CommandLine& cl);
// True when the first tool the command line names is one that needs no settings file
// (-version, a help word, -password): an operator runs them before writing one.
bool cli_tool_without_settings(const CommandLine& cl);
// Runs the command-line tools with the settings of gw. Returns -1 when the server is to
// start, else the exit status of the tool that ran. -debug sets gw.debugtime, starts the
// console (gw.console, which reaches the gateway through gw) and examination goes on.
int cli_examine(Gateway& gw, CommandLine& cl);
// The usage text.
std::string cli_usage();
// Directory of the program file named by argv0 (cwd for a relative one), with "\" turned
// into "/", "." and ".." resolved and the last component removed.
std::string program_dir(const std::string& argv0, const std::string& cwd);
// The last component of argv0 up to its first ".".
std::string program_base(const std::string& argv0);
// The password tool on the given streams; writes path ("name:$y$..."). A password of
// fewer than 8 characters is refused with a message and status 1. Returns the exit status.
int password_tool(std::FILE* in, std::FILE* out, const std::string& path);
// The mail clients' password tool: adds the user's "name:$y$..." line to the users
// file at path, or replaces that user's line in its place, keeping every other line; the
// file is written whole with mode 0600. Returns the exit status.
int smtp_password_tool(std::FILE* in, std::FILE* out, const std::string& path);
// Writes tolvane_start.sh and tolvane_stop.sh into dir; fails with the reason.
Status install_scripts(const std::string& dir);

}  // namespace tolvane
