#include "cli/CliOutput.h"

#include "cli/CliText.h"
#include "engine/DownloadText.h"
#include "engine/Transfer.h"
#include "platform/TickCount.h"

#include <QTimer>

#include <filesystem>
#include <system_error>

#include <sys/ioctl.h>
#include <unistd.h>

namespace cw {
namespace {

// ,"stage":"download","kind":"server","status":404 for a failed item; nulls for what is not
// known (a failure without a request has no status).
std::string FailureMembers(const TItemFailure* f)
{
    if (!f)
        return std::string();
    const std::string kind = FailKindName(f->Kind);
    return ",\"stage\":" + (f->Stage.empty() ? std::string("null") : "\"" + f->Stage + "\"") +
           ",\"kind\":" + (kind.empty() ? std::string("null") : "\"" + kind + "\"") +
           ",\"status\":" + (f->Status > 0 ? std::to_string(f->Status) : std::string("null"));
}

} // namespace

namespace {

constexpr int kRedrawMs = 100; // at most ten redraws a second
constexpr std::uint32_t kJsonProgressMs = 100;

const char* OutcomeName(TItemOutcome outcome)
{
    switch (outcome) {
    case ioDone:
        return "done";
    case ioSkipped:
        return "skipped";
    case ioFailed:
        return "failed";
    default:
        return "pending";
    }
}

// Cut to width columns (counting each UTF-8 character as one), never inside a character.
std::string FitWidth(const std::string& text, int width)
{
    int columns = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            continue;
        if (++columns > width)
            return text.substr(0, i);
    }
    return text;
}

int TerminalWidth(std::FILE* stream)
{
    winsize ws{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return 80;
}

std::string Item(int item)
{
    return "\"item\":" + std::to_string(item + 1);
}

} // namespace

TCliOutput::TCliOutput(TCliForm form, int itemCount, std::FILE* out, std::FILE* err)
    : FForm(form), FCount(itemCount), FOut(out), FErr(err), FOutcomes(static_cast<std::size_t>(itemCount), ioPending),
      FFailureLines(static_cast<std::size_t>(itemCount))
{
    if (FForm == TCliForm::Terminal) {
        FRedraw = std::make_unique<QTimer>();
        FRedraw->setInterval(kRedrawMs);
        QObject::connect(FRedraw.get(), &QTimer::timeout, [this] {
            if (FDirty)
                Redraw();
        });
        FRedraw->start();
    }
}

TCliOutput::~TCliOutput() = default;

std::string TCliOutput::JsonString(const std::string& text)
{
    static const char* const hex = "0123456789abcdef";
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const TCodePoint cp = DecodeAt(text, i);
        const std::uint32_t v = cp.Value;
        if (v == '"' || v == '\\') {
            out += '\\';
            out += static_cast<char>(v);
        } else if (IsUnsafeCodePoint(v) || v == 0x2028 || v == 0x2029) {
            // Escaped, not replaced: the reader gets the text as it was, a terminal never sees it.
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += hex[(v >> shift) & 15];
        } else {
            AppendUtf8(out, v);
        }
        i += cp.Length;
    }
    return out + "\"";
}

std::string TCliOutput::DisplayPath(const std::string& path)
{
    std::error_code ec;
    const std::filesystem::path here = std::filesystem::current_path(ec);
    if (ec || path.empty())
        return path;
    const std::filesystem::path relative = std::filesystem::path(path).lexically_relative(here);
    if (relative.empty() || *relative.begin() == "..")
        return path;
    return relative.string();
}

std::string TCliOutput::Prefix(int item) const
{
    return "[" + std::to_string(item + 1) + "/" + std::to_string(FCount) + "] ";
}

void TCliOutput::Emit(const std::string& json)
{
    std::fputs(json.c_str(), FOut);
    std::fputc('\n', FOut);
    std::fflush(FOut);
}

void TCliOutput::ClearBoard()
{
    if (FBoardLines > 0)
        std::fprintf(FOut, "\x1b[%dA\r\x1b[J", FBoardLines);
    FBoardLines = 0;
}

void TCliOutput::Redraw()
{
    FDirty = false;
    const int width = TerminalWidth(FOut) - 1;
    std::string board;
    if (FBoardLines > 0)
        board = "\x1b[" + std::to_string(FBoardLines) + "A\r\x1b[J";
    for (const auto& [item, row] : FRows)
        board += FitWidth(Prefix(item) + Shown(row.Name) + "  " + Shown(row.Status), width) + "\n";
    FBoardLines = static_cast<int>(FRows.size());
    std::fputs(board.c_str(), FOut);
    std::fflush(FOut);
}

void TCliOutput::Touch()
{
    FDirty = true;
}

// A line that stays: the board is taken away, the line written, the board drawn again below it.
void TCliOutput::Permanent(const std::string& line, std::FILE* stream)
{
    if (FForm == TCliForm::Terminal) {
        ClearBoard();
        std::fflush(FOut);
    }
    std::fputs((line + "\n").c_str(), stream);
    std::fflush(stream);
    if (FForm == TCliForm::Terminal)
        Redraw();
}

void TCliOutput::Started(int item, const std::string& address)
{
    Row& row = FRows[item];
    row.Name = address;
    row.Status = "loading the page";
    row.StartMs = GetTickCount();
    switch (FForm) {
    case TCliForm::Terminal:
        Touch();
        break;
    case TCliForm::Lines:
        Permanent(Prefix(item) + Shown(address), FOut);
        break;
    case TCliForm::Json:
        Emit("{\"event\":\"started\"," + Item(item) + ",\"address\":" + JsonString(MaskPasswords(address)) + "}");
        break;
    case TCliForm::Quiet:
        break;
    }
}

void TCliOutput::Page(int item, const std::string& what)
{
    FRows[item].Status = what;
    if (FForm == TCliForm::Terminal)
        Touch();
}

void TCliOutput::EmitTitle(int item, Row& row, const std::string& name, const std::string& address)
{
    row.TitleName = name;
    row.TitleAddress = address;
    if (FForm == TCliForm::Json)
        Emit("{\"event\":\"title\"," + Item(item) + ",\"name\":" + JsonString(MaskPasswords(name)) +
             ",\"address\":" + JsonString(MaskPasswords(address)) + "}");
}

void TCliOutput::Title(int item, const std::string& name, const std::string& address)
{
    Row& row = FRows[item];
    if (!name.empty())
        row.Name = name;
    // Two page names may be saved under one name: the reader hears of it once.
    if (name != row.TitleName || address != row.TitleAddress)
        EmitTitle(item, row, name, address);
    if (FForm == TCliForm::Terminal)
        Touch();
}

void TCliOutput::Attempt(int item, const std::string& name, std::int64_t offset)
{
    Row& row = FRows[item];
    row.Name = name;
    row.Status = "connecting";
    row.PauseAttempt = -1;
    if (row.FirstOffset < 0) {
        row.FirstOffset = offset;
        row.Bytes = offset;
        row.TransferStartMs = GetTickCount();
    }
    // The file the transfer writes is the one saved: a fallback to another file is a new title.
    if (name != row.TitleName)
        EmitTitle(item, row, name, row.TitleAddress);
    if (FForm == TCliForm::Json)
        Emit("{\"event\":\"transfer\"," + Item(item) + ",\"name\":" + JsonString(name) +
             ",\"offset\":" + std::to_string(offset) + "}");
    else if (FForm == TCliForm::Terminal)
        Touch();
}

std::string TCliOutput::ProgressStatus(const Row& row) const
{
    std::string s;
    if (row.Total > 0)
        s = std::to_string(row.Bytes * 100 / row.Total) + "%  " + KilobytesText(row.Bytes) + " of " +
            KilobytesText(row.Total);
    else
        s = KilobytesText(row.Bytes);
    if (!row.Speed.empty())
        s += "  " + row.Speed;
    if (!row.Remaining.empty() && row.Total > 0)
        s += "  " + row.Remaining + " left";
    return s;
}

void TCliOutput::FlushJsonProgress(int item, Row& row)
{
    row.JsonPending = false;
    row.LastJsonMs = GetTickCount();
    Emit("{\"event\":\"progress\"," + Item(item) + ",\"bytes\":" + std::to_string(row.Bytes) +
         ",\"total\":" + (row.Total >= 0 ? std::to_string(row.Total) : std::string("null")) + "}");
}

void TCliOutput::Progress(int item, std::int64_t bytes, std::int64_t total, const TRateSample* sample)
{
    Row& row = FRows[item];
    row.Bytes = bytes;
    row.Total = total;
    if (sample)
        if (auto texts = RateUpdate(total, bytes, bytes - sample->Bytes, sample->ElapsedMs, '.')) {
            row.Speed = texts->Speed;
            row.Remaining = texts->Remaining;
        }
    if (FForm == TCliForm::Terminal) {
        row.Status = ProgressStatus(row);
        Touch();
    } else if (FForm == TCliForm::Json) {
        row.JsonPending = true;
        if (GetTickCount() - row.LastJsonMs >= kJsonProgressMs || (total > 0 && bytes >= total))
            FlushJsonProgress(item, row);
    }
}

void TCliOutput::Waiting(int item, int secondsLeft, int attempt, int count, int pauseSeconds)
{
    Row& row = FRows[item];
    row.Status = "retrying in " + std::to_string(secondsLeft) + " s (" + std::to_string(attempt) + "/" +
                 std::to_string(count) + ")";
    // The countdown is for the board; a reader of events hears of each pause once.
    const bool newPause = row.PauseAttempt != attempt;
    row.PauseAttempt = attempt;
    if (FForm == TCliForm::Json && newPause) {
        if (row.JsonPending)
            FlushJsonProgress(item, row);
        Emit("{\"event\":\"waiting\"," + Item(item) + ",\"seconds\":" + std::to_string(pauseSeconds) +
             ",\"attempt\":" + std::to_string(attempt) + ",\"count\":" + std::to_string(count) + "}");
    } else if (FForm == TCliForm::Terminal) {
        Touch();
    }
}

void TCliOutput::Converting(int item, const std::string& outputName, bool joining)
{
    Row& row = FRows[item];
    if (row.JsonPending && FForm == TCliForm::Json)
        FlushJsonProgress(item, row);
    if (row.FirstOffset >= 0 && row.TransferEndMs == 0)
        row.TransferEndMs = GetTickCount();
    row.Name = outputName;
    row.Status = joining ? "joining the stream" : "converting";
    row.Joining = joining;
    if (FForm == TCliForm::Json)
        Emit(std::string("{\"event\":\"") + (joining ? "joining" : "converting") + "\"," + Item(item) +
             ",\"output\":" + JsonString(outputName) + "}");
    else if (FForm == TCliForm::Terminal)
        Touch();
}

void TCliOutput::ConvertProgress(int item, int percent, const std::string& elapsed, const std::string& estimated)
{
    Row& row = FRows[item];
    row.Status =
        (row.Joining ? "joining " : "converting ") + std::to_string(percent) + "%  " + elapsed + " of " + estimated;
    if (FForm == TCliForm::Json)
        Emit("{\"event\":\"convert-progress\"," + Item(item) + ",\"percent\":" + std::to_string(percent) + "}");
    else if (FForm == TCliForm::Terminal)
        Touch();
}

// "(4.8 KB in 1.2 s, 4.0 KB/s)": the saved file's size, the item's time, and the average speed
// of this run's transfer (bytes kept from an earlier run are not counted as fetched).
std::string TCliOutput::Summary(const Row& row, const std::string& savedPath) const
{
    const std::uint32_t now = GetTickCount();
    std::error_code ec;
    const auto size = std::filesystem::file_size(savedPath, ec);
    std::string s = "(";
    if (!ec)
        s += SizeText(static_cast<std::int64_t>(size)) + " in ";
    s += DurationText(now - row.StartMs);
    const std::int64_t fetched = row.FirstOffset >= 0 ? row.Bytes - row.FirstOffset : 0;
    const std::uint32_t transferMs = (row.TransferEndMs ? row.TransferEndMs : now) - row.TransferStartMs;
    if (fetched > 0 && transferMs > 0)
        s += ", " + SizeText(fetched * 1000 / transferMs) + "/s";
    return s + ")";
}

void TCliOutput::Ended(int item, TItemOutcome outcome, const std::string& failureLine, const std::string& savedPath,
                       const TItemFailure* failure)
{
    auto it = FRows.find(item);
    Row row = it != FRows.end() ? it->second : Row{};
    if (it != FRows.end() && it->second.JsonPending && FForm == TCliForm::Json)
        FlushJsonProgress(item, it->second);
    if (it != FRows.end())
        FRows.erase(it);
    const std::string reason = outcome == ioDone ? std::string() : failureLine;
    FOutcomes.at(static_cast<std::size_t>(item)) = outcome;
    if (outcome == ioFailed)
        FFailureLines.at(static_cast<std::size_t>(item)) = reason;
    const std::string shownPath = savedPath.empty() ? row.Name : DisplayPath(savedPath);
    std::string line = Prefix(item);
    if (outcome == ioFailed)
        line += "failed: " + Shown(reason);
    else if (outcome == ioSkipped)
        line += "skipped: " + Shown(shownPath) + " (" + (failureLine.empty() ? "kept as it is" : failureLine) + ")";
    else
        line += "done: " + Shown(shownPath) + " " + Summary(row, savedPath);
    switch (FForm) {
    case TCliForm::Terminal:
    case TCliForm::Lines:
        Permanent(line, FOut);
        break;
    case TCliForm::Json:
        Emit("{\"event\":\"ended\"," + Item(item) + ",\"outcome\":\"" + OutcomeName(outcome) +
             "\",\"reason\":" + JsonString(MaskPasswords(reason)) +
             ",\"path\":" + (savedPath.empty() || outcome == ioFailed ? std::string("null") : JsonString(savedPath)) +
             FailureMembers(outcome == ioFailed ? failure : nullptr) + "}");
        break;
    case TCliForm::Quiet:
        break;
    }
}

void TCliOutput::Note(const std::string& text)
{
    const std::string words = PlainFailure(text);
    if (FForm == TCliForm::Json)
        Emit("{\"event\":\"note\",\"text\":" + JsonString(MaskPasswords(words)) + "}");
    else
        Permanent(Shown(words), FErr);
}

void TCliOutput::Warning(int item, const std::string& text)
{
    if (FForm == TCliForm::Json)
        Emit("{\"event\":\"warning\"," + Item(item) + ",\"text\":" + JsonString(MaskPasswords(text)) + "}");
    else if (FForm != TCliForm::Quiet)
        Permanent(Prefix(item) + "warning: " + Shown(MaskPasswords(text)), FErr);
}

void TCliOutput::RunEnded(bool stopped)
{
    if (FRedraw)
        FRedraw->stop();
    if (FForm == TCliForm::Terminal)
        ClearBoard();
    // Every item that started hears how it ended, a stopped one too.
    for (auto& [item, row] : FRows) {
        if (FForm == TCliForm::Json) {
            if (row.JsonPending)
                FlushJsonProgress(item, row);
            Emit("{\"event\":\"ended\"," + Item(item) + ",\"outcome\":\"stopped\",\"reason\":\"\",\"path\":null}");
        } else if (FForm != TCliForm::Quiet) {
            std::fputs((Prefix(item) + "stopped: " + Shown(row.Name) + "\n").c_str(), FOut);
        }
    }
    FRows.clear();
    int done = 0, skipped = 0, failed = 0;
    for (TItemOutcome o : FOutcomes) {
        done += o == ioDone;
        skipped += o == ioSkipped;
        failed += o == ioFailed;
    }
    if (FForm == TCliForm::Json)
        Emit("{\"event\":\"run-ended\",\"items\":" + std::to_string(FCount) + ",\"done\":" + std::to_string(done) +
             ",\"skipped\":" + std::to_string(skipped) + ",\"failed\":" + std::to_string(failed) +
             ",\"stopped\":" + (stopped ? "true" : "false") + "}");
    std::fflush(FOut);
    if (failed > 0) {
        std::string report = std::to_string(failed) + " of " + std::to_string(FCount) +
                             (FCount == 1 ? " item" : " items") + " failed:\n";
        for (const std::string& line : FFailureLines)
            if (!line.empty())
                report += Shown(line) + "\n";
        std::fputs(report.c_str(), FErr);
    }
    if (stopped)
        std::fputs("Stopped. The partial downloads (.part) are kept; run the same command again to resume them.\n",
                   FErr);
    std::fflush(FErr);
}

} // namespace cw
