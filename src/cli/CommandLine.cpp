#include "cli/CommandLine.h"

#include "convert/FormatPresets.h"
#include "platform/Text.h"

#include <cstring>
#include <optional>

namespace cw {
namespace {

const char* const kQualityNames[] = {"normal", "hq", "hd", "best"};

std::optional<int> WholeNumber(const std::string& text, int low, int high)
{
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int n = std::stoi(text);
    if (n < low || n > high)
        return std::nullopt;
    return n;
}

// Sets the option's value; an error text when the value is not one the option takes.
std::string TakeValue(TCliOptions& o, const std::string& name, const std::string& value)
{
    if (name == "output") {
        if (value.empty())
            return "the output folder is empty";
        o.Output = value;
    } else if (name == "quality") {
        for (int q = 0; q < 4; ++q)
            if (text::Lower(value) == kQualityNames[q]) {
                o.Quality = q;
                return std::string();
            }
        return "unknown quality '" + value + "' (normal, hq, hd or best)";
    } else if (name == "convert") {
        o.Preset = PresetByName(text::Lower(value));
        if (o.Preset < 0)
            return "unknown preset '" + value + "' (see --list-presets)";
    } else if (name == "connections") {
        auto n = WholeNumber(value, 1, 16);
        if (!n)
            return "--connections takes a number from 1 to 16, not '" + value + "'";
        o.Connections = *n;
    } else if (name == "jobs") {
        auto n = WholeNumber(value, 1, 64);
        if (!n)
            return "--jobs takes a number from 1 to 64, not '" + value + "'";
        o.Jobs = *n;
    }
    return std::string();
}

struct OptionName {
    char Short;
    const char* Long;
    bool TakesValue;
    const char* Key; // for TakeValue
};

const OptionName kOptions[] = {
    {'o', "output", true, "output"},           {'q', "quality", true, "quality"},
    {'c', "convert", true, "convert"},         {0, "to", true, "convert"},
    {'x', "connections", true, "connections"}, {'j', "jobs", true, "jobs"},
    {0, "overwrite", false, nullptr},          {0, "json", false, nullptr},
    {0, "quiet", false, nullptr},              {'h', "help", false, nullptr},
    {0, "version", false, nullptr},            {0, "list-presets", false, nullptr},
};

void SetFlag(TCliOptions& o, const std::string& name)
{
    if (name == "overwrite")
        o.Overwrite = true;
    else if (name == "json")
        o.Json = true;
    else if (name == "quiet")
        o.Quiet = true;
    else if (name == "help")
        o.Command = TCliCommand::Help;
    else if (name == "version")
        o.Command = TCliCommand::Version;
    else if (name == "list-presets")
        o.Command = TCliCommand::ListPresets;
}

} // namespace

const std::vector<std::string>& PresetNames()
{
    static const std::vector<std::string> names = {"ipod", "iphone", "psp", "3gp", "wmv", "xvid",
                                                   "avi",  "mp3",    "wav", "mpg", "wma"};
    return names;
}

int PresetByName(const std::string& name)
{
    const auto& names = PresetNames();
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == name)
            return static_cast<int>(i);
    return -1;
}

std::string UsageLine()
{
    return "usage: clipwarden get [options] ADDRESS... | clipwarden convert --to PRESET [options] FILE...";
}

std::string HelpText()
{
    std::string presets;
    for (const std::string& n : PresetNames())
        presets += (presets.empty() ? "" : " ") + n;
    return UsageLine() + "\n"
           "\n"
           "Without a command, clipwarden opens its window. The commands need no display.\n"
           "\n"
           "  get ADDRESS...      download the videos of watch pages or direct addresses;\n"
           "                      \"-\" reads addresses from standard input, one per line\n"
           "  convert FILE...     convert local video files (needs --to)\n"
           "\n"
           "  -o, --output DIR        save into DIR (default: the current folder)\n"
           "  -q, --quality Q         normal, hq, hd or best (default: normal)\n"
           "  -c, --convert PRESET    convert each download (--to is the same)\n"
           "      --list-presets      list the presets: " + presets + "\n"
           "  -x, --connections N     connections per file, 1 to 16 (default: 4)\n"
           "  -j, --jobs N            items at once (default: 1)\n"
           "      --overwrite         replace existing files (default: keep them, skip the item)\n"
           "      --json              one JSON object per event on standard output\n"
           "      --quiet             no progress; failures still go to standard error\n"
           "  -h, --help              this text\n"
           "      --version           the program's version\n"
           "\n"
           "Exit status: 0 every item ended as asked, 1 some item failed, 2 usage error,\n"
           "130 stopped by Ctrl+C or SIGTERM (partial downloads are kept and resumed by the\n"
           "same command).\n";
}

bool WantsCommandLine(int argc, char** argv)
{
    if (argc < 2)
        return false;
    // The window takes no arguments of its own, only the toolkit's options ("-platform ...").
    const std::string first = argv[1];
    return first.empty() || first[0] != '-' || first == "--help" || first == "-h" || first == "--version" ||
           first == "--list-presets";
}

TCliParse ParseCommandLine(const std::vector<std::string>& args)
{
    TCliParse r;
    TCliOptions& o = r.Options;
    if (args.empty()) {
        r.Error = "no command given";
        return r;
    }
    std::size_t i = 0;
    bool commandGiven = false;
    if (args[0] == "get" || args[0] == "convert") {
        o.Command = args[0] == "get" ? TCliCommand::Get : TCliCommand::Convert;
        commandGiven = true;
        i = 1;
    }
    bool optionsEnded = false;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a == "-" || a.size() < 2 || a[0] != '-') {
            o.Operands.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        const OptionName* opt = nullptr;
        std::optional<std::string> inlineValue;
        std::string shown;
        if (a[1] == '-') {
            std::string name = a.substr(2);
            if (std::size_t eq = name.find('='); eq != std::string::npos) {
                inlineValue = name.substr(eq + 1);
                name.erase(eq);
            }
            for (const OptionName& n : kOptions)
                if (name == n.Long)
                    opt = &n;
            shown = "--" + name;
            if (opt && !opt->TakesValue && inlineValue) {
                r.Error = "option " + shown + " takes no value";
                return r;
            }
        } else {
            for (const OptionName& n : kOptions)
                if (n.Short && a[1] == n.Short)
                    opt = &n;
            shown = a.substr(0, 2);
            if (opt && a.size() > 2) {
                if (!opt->TakesValue) {
                    r.Error = "option " + shown + " takes no value";
                    return r;
                }
                inlineValue = a.substr(2);
            }
        }
        if (!opt) {
            r.Error = "unknown option " + shown;
            return r;
        }
        if (!opt->TakesValue) {
            SetFlag(o, opt->Long);
            if (o.Command == TCliCommand::Help || o.Command == TCliCommand::Version ||
                o.Command == TCliCommand::ListPresets) {
                r.Ok = true;
                return r;
            }
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                r.Error = "option " + shown + " needs a value";
                return r;
            }
            inlineValue = args[++i];
        }
        if (std::string e = TakeValue(o, opt->Key, *inlineValue); !e.empty()) {
            r.Error = e;
            return r;
        }
    }
    if (!commandGiven) {
        r.Error = "unknown command '" + args[0] + "' (get or convert)";
        return r;
    }
    if (o.Operands.empty()) {
        r.Error = o.Command == TCliCommand::Get ? "no address given" : "no file given";
        return r;
    }
    if (o.Command == TCliCommand::Convert && o.Preset < 0) {
        r.Error = "convert needs --to PRESET (see --list-presets)";
        return r;
    }
    r.Ok = true;
    return r;
}

} // namespace cw
