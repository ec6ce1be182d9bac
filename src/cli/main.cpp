// tolvane-cli: the unit's NVRAM from the command line, without a display.

#include <string>
#include <vector>

#include "Commands.h"

int main(int argc, char** argv) {
    return RunCli(std::vector<std::string>(argv + 1, argv + argc));
}
