#include "cli/CommandLine.h"

#include "engine/core/RateLimit.h"

#include "convert/FormatPresets.h"
#include "global/AddressQueue.h"
#include "platform/Text.h"

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

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

// The fields a name template may hold (the engine fills them in: NameFromTemplate).
std::string CheckNameTemplate(const std::string& t)
{
    if (t.empty())
        return "the --output template is empty";
    bool anyField = false;
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (t[i] == '}')
            return "unbalanced '}' in the --output template";
        if (t[i] != '{')
            continue;
        const std::size_t close = t.find('}', i);
        if (close == std::string::npos)
            return "unbalanced '{' in the --output template";
        const std::string field = t.substr(i + 1, close - i - 1);
        if (field != "title" && field != "ext" && field != "site" && field != "id")
            return "unknown field {" + field + "} in the --output template (title, ext, site or id)";
        anyField = true;
        i = close;
    }
    if (t.find('/') != std::string::npos)
        return "the --output template names a file, not a folder; the folder is -P, --directory";
    if (!anyField)
        return "--output takes a file name template such as {title}.{ext}; the folder is -P, --directory";
    return std::string();
}

// "[http://][user[:password]@]host[:port][/]": the proxies the engine speaks to.
bool ValidProxy(const std::string& url)
{
    std::string rest = url;
    if (const std::size_t scheme = rest.find("://"); scheme != std::string::npos) {
        if (text::Lower(rest.substr(0, scheme)) != "http")
            return false;
        rest.erase(0, scheme + 3);
    }
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    if (const std::size_t at = rest.rfind('@'); at != std::string::npos)
        rest.erase(0, at + 1);
    if (rest.empty() || rest.find_first_of("/?# \t") != std::string::npos)
        return false;
    std::string host = rest;
    std::string port;
    if (rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos || close == 1)
            return false;
        host = rest.substr(0, close + 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':')
                return false;
            port = rest.substr(close + 2);
            if (port.empty())
                return false;
        }
    } else if (const std::size_t colon = rest.find(':'); colon != std::string::npos) {
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (port.empty())
            return false;
    }
    return !host.empty() && (port.empty() || WholeNumber(port, 1, 65535));
}

// Sets the option's value; an error text when the value is not one the option takes.
std::string TakeValue(TCliOptions& o, const std::string& key, const std::string& value)
{
    if (key == "directory") {
        if (value.empty())
            return "the output folder is empty";
        o.Directory = value;
    } else if (key == "output") {
        if (std::string e = CheckNameTemplate(value); !e.empty())
            return e;
        o.NameTemplate = value;
    } else if (key == "quality") {
        for (int q = 0; q < 4; ++q)
            if (text::Lower(value) == kQualityNames[q]) {
                o.Quality = q;
                return std::string();
            }
        return "unknown quality '" + value + "' (normal, hq, hd or best)";
    } else if (key == "to") {
        o.Preset = PresetByName(text::Lower(value));
        if (o.Preset < 0)
            return "unknown preset '" + value + "' (see --list-presets)";
    } else if (key == "connections") {
        auto n = WholeNumber(value, 1, 16);
        if (!n)
            return "--connections takes a number from 1 to 16, not '" + value + "'";
        o.Connections = *n;
    } else if (key == "jobs") {
        auto n = WholeNumber(value, 1, 64);
        if (!n)
            return "--jobs takes a number from 1 to 64, not '" + value + "'";
        o.Jobs = *n;
    } else if (key == "input-file") {
        if (value.empty())
            return "the --input-file name is empty";
        o.InputFiles.push_back(value);
    } else if (key == "retries") {
        auto n = WholeNumber(value, 0, 1000);
        if (!n)
            return "--retries takes a number from 0 to 1000, not '" + value + "'";
        o.Retries = *n;
    } else if (key == "timeout") {
        auto n = WholeNumber(value, 1, 86400);
        if (!n)
            return "--timeout takes seconds from 1 to 86400, not '" + value + "'";
        o.TimeoutSeconds = *n;
    } else if (key == "proxy") {
        if (!value.empty() && !ValidProxy(value))
            return "--proxy takes an http proxy such as http://host:port/, not '" + value + "'";
        o.Proxy = value;
    } else if (key == "cacert") {
        if (value.empty())
            return "the --cacert file name is empty";
        o.CaCertificates = value;
    } else if (key == "cookies") {
        if (value.empty())
            return "the --cookies file name is empty";
        o.CookieFile = value;
    } else if (key == "limit-rate") {
        const std::optional<std::int64_t> rate = ParseRate(value);
        if (!rate)
            return "--limit-rate takes bytes a second such as 500K or 2M, not '" + value + "'";
        o.RateLimit = *rate;
    }
    return std::string();
}

struct OptionName {
    char Short;
    const char* Long;
    bool TakesValue;
    const char* Key; // what TakeValue or SetFlag is told
};

const OptionName kOptions[] = {
    {'P', "directory", true, "directory"},
    {'o', "output", true, "output"},
    {'f', "quality", true, "quality"},
    {'t', "to", true, "to"},
    {0, "convert", true, "to"},
    {'x', "connections", true, "connections"},
    {'j', "jobs", true, "jobs"},
    {'i', "input-file", true, "input-file"},
    {0, "retries", true, "retries"},
    {0, "timeout", true, "timeout"},
    {0, "proxy", true, "proxy"},
    {'c', "continue", false, "continue"},
    {0, "cacert", true, "cacert"},
    {0, "limit-rate", true, "limit-rate"},
    {0, "cookies", true, "cookies"},
    {0, "keep-video", false, "keep-video"},
    {0, "no-subs", false, "no-subs"},
    {0, "overwrite", false, "overwrite"},
    {0, "json", false, "json"},
    {'q', "quiet", false, "quiet"},
    {'v', "verbose", false, "verbose"},
    {'h', "help", false, "help"},
    {'V', "version", false, "version"},
    {0, "list-presets", false, "list-presets"},
};

const OptionName* ByShort(char c)
{
    for (const OptionName& n : kOptions)
        if (n.Short && n.Short == c)
            return &n;
    return nullptr;
}

const OptionName* ByLong(const std::string& name)
{
    for (const OptionName& n : kOptions)
        if (name == n.Long)
            return &n;
    return nullptr;
}

// True for the options that end the parse with a command of their own.
bool SetFlag(TCliOptions& o, const std::string& key)
{
    if (key == "overwrite")
        o.Overwrite = true;
    else if (key == "json")
        o.Json = true;
    else if (key == "quiet")
        o.Quiet = true;
    else if (key == "verbose")
        o.Verbose = true;
    else if (key == "continue")
        o.Continue = true;
    else if (key == "keep-video")
        o.KeepVideo = true;
    else if (key == "no-subs")
        o.NoSubtitles = true;
    else if (key == "help")
        o.Command = TCliCommand::Help;
    else if (key == "version")
        o.Command = TCliCommand::Version;
    else if (key == "list-presets")
        o.Command = TCliCommand::ListPresets;
    return key == "help" || key == "version" || key == "list-presets";
}

// An argument the command line would take as one of its options: a long name it knows, a
// single letter it knows, or a run of its flag letters ("-qc"). Letters with a value written
// on ("-fhd") do not count here: the toolkit's own options look like that ("-title x").
bool NamesOurOption(const std::string& a)
{
    if (a.size() < 2 || a[0] != '-')
        return false;
    if (a[1] == '-') {
        const std::string name = a.substr(2, a.find('=') == std::string::npos ? std::string::npos : a.find('=') - 2);
        return ByLong(name) != nullptr;
    }
    if (a.size() == 2)
        return ByShort(a[1]) != nullptr;
    for (std::size_t k = 1; k < a.size(); ++k) {
        const OptionName* opt = ByShort(a[k]);
        if (!opt || opt->TakesValue)
            return false;
    }
    return true;
}

bool Set(const char* name)
{
    const char* v = std::getenv(name);
    return v && *v;
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
    return "usage: clipwarden get [options] ADDRESS... | clipwarden convert -t PRESET [options] FILE...";
}

std::string HelpText()
{
    std::string presets;
    for (const std::string& n : PresetNames())
        presets += (presets.empty() ? "" : " ") + n;
    return UsageLine() +
           "\n"
           "\n"
           "Without a command, clipwarden opens its window. The commands need no display.\n"
           "\n"
           "  get ADDRESS...      download the videos of watch pages or direct addresses;\n"
           "                      \"-\" reads addresses from standard input, one per line\n"
           "  convert FILE...     convert local video files (needs -t)\n"
           "\n"
           "  -P, --directory DIR     save into DIR (default: the current folder)\n"
           "  -o, --output TEMPLATE   file names from {title}, {ext}, {site} and {id}\n"
           "                          (default: {title}.{ext}); a taken name gets \" (2)\"\n"
           "  -i, --input-file FILE   read addresses from FILE (\"-\": standard input), one a line;\n"
           "                          '#' starts a comment line\n"
           "  -f, --quality Q         normal, hq, hd or best (default: normal)\n"
           "  -t, --to PRESET         convert each download (--convert is the same)\n"
           "      --keep-video        keep the download after converting it to audio (mp3,\n"
           "                          wav, wma); by default it is removed once converted\n"
           "      --no-subs           save no subtitles (by default those in the locale's\n"
           "                          language go beside the video as NAME.LANG.vtt)\n"
           "      --list-presets      list the presets: " +
           presets +
           "\n"
           "  -x, --connections N     connections per file, 1 to 16 (default: 4)\n"
           "  -j, --jobs N            items at once (default: 1)\n"
           "  -c, --continue          continue partial downloads (always done)\n"
           "      --retries N         tries after the first, 0 to 1000 (default: 5), after\n"
           "                          pauses of 1, 2, 4, 8, 16, 16... seconds\n"
           "      --timeout SECONDS   give up a connection silent this long (default: 60;\n"
           "                          30 while reading a page)\n"
           "      --proxy URL         http proxy for every address, over http_proxy,\n"
           "                          https_proxy and no_proxy; \"\" for none\n"
           "      --cacert FILE       trust the certificate authorities in FILE (PEM) too\n"
           "      --cookies FILE      send the cookies of FILE (cookies.txt, as browsers'\n"
           "                          export add-ons write it) to the hosts they belong to\n"
           "      --limit-rate RATE   download no faster than RATE bytes a second in all,\n"
           "                          such as 500K or 2M\n"
           "      --overwrite         fetch again and replace existing files (default: skip\n"
           "                          the item and keep the file)\n"
           "      --json              one JSON object per event on standard output\n"
           "  -q, --quiet             no progress; failures still go to standard error\n"
           "  -v, --verbose           the program's log lines on standard error\n"
           "  -h, --help              this text\n"
           "  -V, --version           the program's version\n"
           "\n"
           "Exit status: 0 every item ended as asked, 1 some item failed, 2 usage error,\n"
           "130 stopped by Ctrl+C or SIGTERM (partial downloads are kept and resumed by the\n"
           "same command).\n";
}

bool WantsCommandLine(const std::vector<std::string>& args, bool display)
{
    if (args.empty())
        return false;
    for (const std::string& a : args) {
        if (a == "--")
            break;
        if (a == "get" || a == "convert" || NamesOurOption(a))
            return true;
    }
    const std::string& first = args[0];
    // The window takes no arguments of its own, only the toolkit's options ("-platform ...").
    return first.empty() || first[0] != '-' || first == "-" || !display;
}

bool HasDisplay(int argc, char** argv)
{
    bool display = Set("DISPLAY") || Set("WAYLAND_DISPLAY") || Set("QT_QPA_PLATFORM");
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        display = display || a == "-platform" || a == "--platform" || a.starts_with("-platform=") ||
                  a.starts_with("--platform=");
    }
    return display;
}

bool WantsCommandLine(int argc, char** argv)
{
    return WantsCommandLine(std::vector<std::string>(argv + 1, argv + argc), HasDisplay(argc, argv));
}

std::string NoDisplayText()
{
    return "clipwarden: no display to open the window on (DISPLAY and WAYLAND_DISPLAY are not set)\n"
           "Use the command line instead: clipwarden get URL... downloads, clipwarden --help tells the rest.\n";
}

TAddressList ParseAddressList(const std::string& text, const std::string& source)
{
    TAddressList list;
    std::size_t pos = 0;
    for (int number = 1; pos < text.size(); ++number) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = TrimControls(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line[0] == '#')
            continue;
        if (AddressInScope(line, AddressScope::List))
            list.Addresses.push_back(line);
        else
            list.Problems.push_back(source + ":" + std::to_string(number) + ": not an address: " + line);
    }
    return list;
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
    // The value of an option: written on, or the next argument.
    auto takeValue = [&](const OptionName& opt, const std::string& shown, std::optional<std::string> value) {
        if (!value) {
            if (i + 1 >= args.size()) {
                r.Error = "option " + shown + " needs a value";
                return false;
            }
            value = args[++i];
        }
        r.Error = TakeValue(o, opt.Key, *value);
        return r.Error.empty();
    };
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
        if (a[1] == '-') {
            std::string name = a.substr(2);
            std::optional<std::string> inlineValue;
            if (std::size_t eq = name.find('='); eq != std::string::npos) {
                inlineValue = name.substr(eq + 1);
                name.erase(eq);
            }
            const OptionName* opt = ByLong(name);
            if (!opt) {
                r.Error = "unknown option --" + name;
                return r;
            }
            if (opt->TakesValue) {
                if (!takeValue(*opt, "--" + name, inlineValue))
                    return r;
            } else if (inlineValue) {
                r.Error = "option --" + name + " takes no value";
                return r;
            } else if (SetFlag(o, opt->Key)) {
                r.Ok = true;
                return r;
            }
            continue;
        }
        // Letters: flags may stand together; a letter that takes a value takes the rest.
        for (std::size_t k = 1; k < a.size(); ++k) {
            const OptionName* opt = ByShort(a[k]);
            const std::string shown = std::string("-") + a[k];
            if (!opt) {
                r.Error = "unknown option " + shown;
                return r;
            }
            if (opt->TakesValue) {
                if (!takeValue(*opt, shown,
                               k + 1 < a.size() ? std::optional<std::string>(a.substr(k + 1)) : std::nullopt))
                    return r;
                break;
            }
            if (SetFlag(o, opt->Key)) {
                r.Ok = true;
                return r;
            }
        }
    }
    if (!commandGiven) {
        r.Error = args[0].size() > 1 && args[0][0] == '-' ? "no command given (get or convert)"
                                                          : "unknown command '" + args[0] + "' (get or convert)";
        return r;
    }
    if (o.Operands.empty() && o.InputFiles.empty()) {
        r.Error = o.Command == TCliCommand::Get ? "no address given" : "no file given";
        return r;
    }
    if (o.Command == TCliCommand::Convert && o.Preset < 0) {
        r.Error = "convert needs -t, --to PRESET (see --list-presets)";
        return r;
    }
    r.Ok = true;
    return r;
}

} // namespace cw
