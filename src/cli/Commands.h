#pragma once

#include <string>
#include <vector>

// The whole program after the arguments have been taken from argv: sets the language and the
// locale, runs the command, and returns the exit status (CliExit).
int RunCli(const std::vector<std::string>& args);
