// The command line's process: read the arguments and the addresses, set up an application
// without any display, run the items and turn the outcome into the exit status. Ctrl+C and
// SIGTERM stop every item at once through the event loop.
#include "cli/CliRun.h"
#include "cli/CommandLine.h"
#include "convert/FormatPresets.h"
#include "global/AddressQueue.h"
#include "platform/Application.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "platform/StopSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <unistd.h>

namespace cw {
namespace {

int UsageError(const std::string& message)
{
    std::fprintf(stderr, "clipwarden: %s\n%s\n", message.c_str(), UsageLine().c_str());
    return 2;
}

std::string ReadStandardInput()
{
    return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
}

std::string Absolute(const std::string& path)
{
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::absolute(path, ec);
    return ec ? path : p.lexically_normal().string();
}

// The addresses of a get command in the order given; duplicates taken once. A "-" reads
// standard input by the rules of Paste (lines that are no address are passed over).
bool CollectAddresses(const std::vector<std::string>& operands, std::vector<std::string>& items, std::string& error)
{
    CaptionSet taken;
    for (const std::string& op : operands) {
        std::vector<std::string> found;
        if (op == "-") {
            found = PrepareClipboardText(ReadStandardInput(), taken).Addresses;
        } else if (AddressInScope(op, AddressScope::List)) {
            if (!taken.Contains(op))
                found.push_back(op);
        } else {
            error = "not a video page or web address: " + op;
            return false;
        }
        for (const std::string& a : found) {
            taken.Add(a);
            items.push_back(NormalizeVideoAddress(a));
        }
    }
    if (items.empty()) {
        error = "no address to fetch";
        return false;
    }
    return true;
}

void CollectFiles(const std::vector<std::string>& operands, std::vector<std::string>& items)
{
    for (const std::string& op : operands) {
        if (op != "-") {
            items.push_back(Absolute(op));
            continue;
        }
        const std::string text = ReadStandardInput();
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t end = text.find('\n', pos);
            if (end == std::string::npos)
                end = text.size();
            std::string line = text.substr(pos, end - pos);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!line.empty())
                items.push_back(Absolute(line));
            pos = end + 1;
        }
    }
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

} // namespace

int RunCommandLine(int argc, char** argv)
{
    const TCliParse parse = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!parse.Ok)
        return UsageError(parse.Error);
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

    std::vector<std::string> items;
    if (o.Command == TCliCommand::Get) {
        std::string error;
        if (!CollectAddresses(o.Operands, items, error))
            return UsageError(error);
    } else {
        CollectFiles(o.Operands, items);
        if (items.empty())
            return UsageError("no file given");
    }

    const std::string folder = Absolute(o.Output);
    if (!DirectoryExists(folder))
        if (const std::string reason = ForceDirectories(folder); !reason.empty()) {
            std::fprintf(stderr, "clipwarden: cannot create %s: %s\n", folder.c_str(), reason.c_str());
            return 1;
        }

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
    run.OnFinished = [] { QCoreApplication::quit(); };

    const auto stopWatch = WatchStopSignals([&run] { run.Stop(); });

    Application::Guard([&run] { run.Start(); });
    QCoreApplication::exec();
    return run.ExitStatus();
}

} // namespace cw
