#pragma once
// The command line: `clipwarden get|convert [options] ...`, read in the usual GNU forms
// ("-P DIR", "-PDIR", "--directory DIR", "--directory=DIR", flags together as in "-qc", "--"
// ends the options, "-" alone is an operand). The letters are the ones download tools use
// (-P folder, -o name, -i list, -c continue, -q quiet, -v verbose, -V version). Parsing is a
// pure function; running is RunCommandLine.

#include "global/Global.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cw {

enum class TCliCommand { Get, Convert, Help, Version, ListPresets };

// The one name template the engine saves under today.
inline constexpr const char* kDefaultNameTemplate = "{title}.{ext}";

struct TCliOptions {
    TCliCommand Command = TCliCommand::Help;
    std::vector<std::string> Operands;   // addresses or files, as given; "-" reads standard input
    std::vector<std::string> InputFiles; // --input-file, in the order given; "-" is standard input
    std::string Directory = ".";
    std::string NameTemplate = kDefaultNameTemplate;
    int Quality = vqNormal;
    int Preset = -1; // index into the preset table; -1 without --to
    int Connections = 4;
    int Jobs = 1;
    int Retries = -1;                 // tries after the first; -1: the engine's own pauses
    int TimeoutSeconds = 0;           // the idle limit; 0: the engine's own
    std::optional<std::string> Proxy; // "" reaches every host directly
    std::string CaCertificates;       // --cacert: the certificates TLS servers are checked against
    std::string CookieFile;           // --cookies: a cookies.txt every item starts with
    std::int64_t RateLimit = 0;       // bytes a second for the whole run; 0: no cap
    bool KeepVideo = false;           // keep the download after a conversion to audio
    bool NoSubtitles = false;         // save no subtitles beside the videos
    bool Overwrite = false;
    bool Json = false;
    bool Quiet = false;
    bool Verbose = false;
    bool Continue = false; // accepted; partial downloads are always continued
};

struct TCliParse {
    bool Ok = false;
    std::string Error; // one line naming the bad option or value
    TCliOptions Options;
};

// args: the arguments after the program's name.
TCliParse ParseCommandLine(const std::vector<std::string>& args);

// True when the arguments ask for the command line rather than the window: they name a command
// or an option of the command line anywhere, or the first is no option at all. Without a display
// any first argument that starts with '-' is the command line's too (its usage error is better
// than a toolkit that cannot start); with one, an unknown option may be the toolkit's
// ("-platform xcb") and opens the window.
bool WantsCommandLine(const std::vector<std::string>& args, bool display);
// The same for main's arguments and this process's environment (HasDisplay).
bool WantsCommandLine(int argc, char** argv);
// Whether the window has anywhere to open: DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM or a
// "-platform" argument count as a display.
bool HasDisplay(int argc, char** argv);
// What a start of the window without any display says instead of letting the toolkit abort:
// that there is no display, and how to use the command line.
std::string NoDisplayText();

// A list of addresses (--input-file): one per line, blanks around it trimmed; empty lines and
// lines that start with '#' are passed over; every other line that is no address is a problem
// "<source>:<line>: not an address: <text>".
struct TAddressList {
    std::vector<std::string> Addresses;
    std::vector<std::string> Problems;
};
TAddressList ParseAddressList(const std::string& text, const std::string& source);

// The short name of each preset, in table order ("ipod", ..., "wma"); -1 for an unknown name.
const std::vector<std::string>& PresetNames();
int PresetByName(const std::string& name);

std::string UsageLine();
std::string HelpText();

// Runs the command line to its end; returns the process's exit status (0 every item ended as
// asked, 1 some failed, 2 usage error, 130 stopped by a signal).
int RunCommandLine(int argc, char** argv);

} // namespace cw
