#pragma once
// The command line: `clipwarden get|convert [options] ...`, read in the usual GNU forms
// ("-o DIR", "-oDIR", "--output DIR", "--output=DIR", "--" ends the options, "-" alone is an
// operand). Parsing is a pure function; running is RunCommandLine.

#include "global/Global.h"

#include <string>
#include <vector>

namespace cw {

enum class TCliCommand { Get, Convert, Help, Version, ListPresets };

struct TCliOptions {
    TCliCommand Command = TCliCommand::Help;
    std::vector<std::string> Operands; // addresses or files, as given; "-" reads standard input
    std::string Output = ".";
    int Quality = vqNormal;
    int Preset = -1; // index into the preset table; -1 without --convert
    int Connections = 4;
    int Jobs = 1;
    bool Overwrite = false;
    bool Json = false;
    bool Quiet = false;
};

struct TCliParse {
    bool Ok = false;
    std::string Error; // one line naming the bad option or value
    TCliOptions Options;
};

// args: the arguments after the program's name.
TCliParse ParseCommandLine(const std::vector<std::string>& args);

// True when the arguments ask for the command line rather than the window.
bool WantsCommandLine(int argc, char** argv);

// The short name of each preset, in table order ("ipod", ..., "wma"); -1 for an unknown name.
const std::vector<std::string>& PresetNames();
int PresetByName(const std::string& name);

std::string UsageLine();
std::string HelpText();

// Runs the command line to its end; returns the process's exit status (0 every item ended as
// asked, 1 some failed, 2 usage error, 130 stopped by a signal).
int RunCommandLine(int argc, char** argv);

} // namespace cw
