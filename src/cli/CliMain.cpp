// The command line's process: read the arguments and the addresses, set up an application
// without any display, run the items and turn the outcome into the exit status. Ctrl+C and
// SIGTERM stop every item at once through the event loop.
#include "cli/CliRun.h"
#include "cli/CliText.h"
#include "cli/CommandLine.h"
#include "convert/FormatPresets.h"
#include "global/AddressQueue.h"
#include "platform/Application.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/MessageBox.h"
#include "platform/StopSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <unistd.h>

namespace cw {
namespace {

int UsageError(const std::string& message)
{
    std::fprintf(stderr, "clipwarden: %s\n%s\n", Shown(message).c_str(), UsageLine().c_str());
    return 2;
}

std::string ReadStandardInput()
{
    return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
}

// The text of an --input-file ("-": standard input); false with the reason when it cannot be read.
bool ReadList(const std::string& name, std::string& text, std::string& error)
{
    if (name == "-") {
        text = ReadStandardInput();
        return true;
    }
    std::error_code ec;
    if (std::filesystem::is_directory(name, ec)) {
        error = "cannot read " + name + ": it is a folder";
        return false;
    }
    std::ifstream in(name, std::ios::binary);
    if (!in) {
        error = "cannot read " + name + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return true;
}

std::string ListName(const std::string& name)
{
    return name == "-" ? "standard input" : name;
}

std::string Absolute(const std::string& path)
{
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::absolute(path, ec);
    return ec ? path : p.lexically_normal().string();
}

// The addresses of a get command: the operands in the order given, then those of each input
// file; duplicates taken once. A "-" operand reads standard input by the rules of Paste (lines
// that are no address are passed over); the lines of an input file that are no address are
// told, with their numbers, and the rest runs. problems: how many were told.
bool CollectAddresses(const TCliOptions& o, std::vector<TCliItem>& items, int& problems, std::string& error)
{
    CaptionSet taken;
    auto take = [&](const std::vector<std::string>& found) {
        for (const std::string& a : found)
            if (!taken.Contains(a)) {
                taken.Add(a);
                const std::string address = NormalizeVideoAddress(a);
                items.push_back({address, address});
            }
    };
    // A list on standard input reads as an input file does: an indented address is still one,
    // and a line that is none is told, not dropped.
    auto takeList = [&](const std::string& text, const std::string& source) {
        const TAddressList list = ParseAddressList(text, source);
        for (const std::string& problem : list.Problems)
            std::fprintf(stderr, "clipwarden: %s\n", Shown(problem).c_str());
        problems += static_cast<int>(list.Problems.size());
        take(list.Addresses);
    };
    for (const std::string& op : o.Operands) {
        if (op == "-") {
            takeList(ReadStandardInput(), ListName("-"));
        } else if (AddressInScope(op, AddressScope::List)) {
            take({op});
        } else {
            error = "not a video page or web address: " + op;
            return false;
        }
    }
    for (const std::string& name : o.InputFiles) {
        std::string text;
        if (!ReadList(name, text, error))
            return false;
        takeList(text, ListName(name));
    }
    if (items.empty()) {
        error = "no address to fetch";
        return false;
    }
    return true;
}

// One file name a line; in an input file, blanks around a name are trimmed and '#' starts a
// comment line.
void TakeFileLines(const std::string& text, bool listRules, std::vector<TCliItem>& items)
{
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (listRules) {
            line = TrimControls(line);
            if (!line.empty() && line[0] == '#')
                continue;
        }
        if (!line.empty())
            items.push_back({Absolute(line), line});
    }
}

bool CollectFiles(const TCliOptions& o, std::vector<TCliItem>& items, std::string& error)
{
    for (const std::string& op : o.Operands) {
        if (op == "-")
            TakeFileLines(ReadStandardInput(), false, items);
        else
            items.push_back({Absolute(op), op});
    }
    for (const std::string& name : o.InputFiles) {
        std::string text;
        if (!ReadList(name, text, error))
            return false;
        TakeFileLines(text, true, items);
    }
    if (items.empty()) {
        error = "no file given";
        return false;
    }
    return true;
}

TCliForm FormFor(const TCliOptions& o)
{
    if (o.Json)
        return TCliForm::Json;
    if (o.Quiet)
        return TCliForm::Quiet;
    const char* term = std::getenv("TERM");
    if (::isatty(STDOUT_FILENO) && !(term && std::string(term) == "dumb"))
        return TCliForm::Terminal;
    return TCliForm::Lines;
}

// --proxy: pages and files pick their route from these variables for each address, so the
// one proxy given takes every address, whatever the environment said; "" reaches every host
// directly. Set before anything runs: nothing reads the environment at the same time.
void ApplyProxy(const std::optional<std::string>& proxy)
{
    if (!proxy)
        return;
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY"})
        ::unsetenv(name);
    if (proxy->empty())
        return;
    ::setenv("http_proxy", proxy->c_str(), 1);
    ::setenv("https_proxy", proxy->c_str(), 1);
}

// --cacert: the TLS layer reads the trusted authorities once, at its first connection, from
// SSL_CERT_FILE (beside the system's folder of them). A file that cannot be read, or holds no
// certificate, is the user's mistake and said now, not as a failure of every https address.
std::string ApplyCaCertificates(const std::string& path)
{
    if (path.empty())
        return std::string();
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "cannot read " + path + ": " + std::strerror(errno);
    std::string head(1 << 20, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    if (head.find("-----BEGIN CERTIFICATE-----") == std::string::npos)
        return path + " holds no certificate (PEM, \"-----BEGIN CERTIFICATE-----\")";
    ::setenv("SSL_CERT_FILE", path.c_str(), 1);
    return std::string();
}

// The program's log lines (failures it got over on its own, each item's steps) are for whoever
// asks with -v or CLIPWARDEN_DEBUG; otherwise they would break into the progress, the JSON
// reader's standard error and a quiet run.
class TLogRoute {
public:
    explicit TLogRoute(bool show)
    {
        if (!show)
            FPrevious = SetLogHandler([](const std::string&, const std::string&) {});
        FInstalled = !show;
    }
    ~TLogRoute()
    {
        if (FInstalled)
            SetLogHandler(std::move(FPrevious));
    }
    TLogRoute(const TLogRoute&) = delete;
    TLogRoute& operator=(const TLogRoute&) = delete;

private:
    LogHandler FPrevious;
    bool FInstalled = false;
};

} // namespace

int RunCommandLine(int argc, char** argv)
{
    const TCliParse parse = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!parse.Ok)
        return UsageError(MaskPasswords(parse.Error));
    const TCliOptions& o = parse.Options;
    switch (o.Command) {
    case TCliCommand::Help:
        std::fputs(HelpText().c_str(), stdout);
        return 0;
    case TCliCommand::Version:
        std::printf("clipwarden %s\n", ProductVersion);
        return 0;
    case TCliCommand::ListPresets:
        for (int i = 0; i < FormatPresetCount; ++i)
            std::printf("%-7s %s\n", PresetNames()[static_cast<std::size_t>(i)].c_str(),
                        FormatCaptions()[static_cast<std::size_t>(i)].c_str());
        return 0;
    default:
        break;
    }

    const TLogRoute logRoute(o.Verbose || DebugLogging());
    std::vector<TCliItem> items;
    int listProblems = 0;
    std::string error;
    if (o.Command == TCliCommand::Get ? !CollectAddresses(o, items, listProblems, error)
                                      : !CollectFiles(o, items, error))
        return UsageError(error);

    if (const std::string e = ApplyCaCertificates(o.CaCertificates); !e.empty())
        return UsageError(e);
    std::unique_ptr<TCookieJar> cookies;
    if (!o.CookieFile.empty()) {
        cookies = std::make_unique<TCookieJar>();
        const TCookieFileRead read = ReadCookieFile(o.CookieFile, *cookies);
        if (!read.Ok)
            return UsageError(read.Error);
        if (read.Skipped > 0 && !o.Quiet)
            std::fprintf(stderr, "clipwarden: %s: %d line(s) are no cookie and were passed over (the first: line %d)\n",
                         Shown(o.CookieFile).c_str(), read.Skipped, read.FirstSkippedLine);
    }

    const std::string folder = Absolute(o.Directory);
    if (!DirectoryExists(folder))
        if (const std::string reason = ForceDirectories(folder); !reason.empty()) {
            std::fprintf(stderr, "clipwarden: cannot create %s: %s\n", Shown(folder).c_str(), Shown(reason).c_str());
            return 1;
        }

    ApplyProxy(o.Proxy);
    // A reader that went away (a pipe into head) must not end the process with a signal.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("clipwarden"));
    Application::SetTitle(ProductTitle);

    TCliOutput output(FormFor(o), static_cast<int>(items.size()), stdout, stderr);
    // The converter's question about an existing output is answered by --overwrite; any other
    // box the engine would show is a note.
    SetMessageBoxHandler([&output, &o](const std::string& text, const std::string&, unsigned flags) {
        if ((flags & MB_BUTTONMASK) == MB_YESNO)
            return o.Overwrite ? IDYES : IDNO;
        output.Note(text);
        return DefaultAnswer(flags);
    });

    TCliRun run(o, std::move(items), folder, output);
    run.SetCookies(std::move(cookies));
    run.OnFinished = [] { QCoreApplication::quit(); };

    const auto stopWatch = WatchStopSignals([&run] { run.Stop(); });

    Application::Guard([&run] { run.Start(); });
    QCoreApplication::exec();
    // A line of an input file that is no address is a failure of the run too, though the rest ran.
    const int status = run.ExitStatus();
    return status == 0 && listProblems > 0 ? 1 : status;
}

} // namespace cw
