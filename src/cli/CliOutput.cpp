#include "cli/CliOutput.h"

#include "engine/DownloadText.h"
#include "engine/Transfer.h"
#include "platform/TickCount.h"

#include <QTimer>

#include <sys/ioctl.h>
#include <unistd.h>

namespace cw {
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
    auto escapeByte = [&](unsigned c) {
        out += "\\u00";
        out += hex[c >> 4];
        out += hex[c & 15];
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            escapeByte(c);
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            // A whole, shortest-form UTF-8 sequence passes; any other byte is Latin-1.
            std::size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
            bool whole = n > 0 && i + n <= text.size();
            for (std::size_t k = 1; whole && k < n; ++k)
                whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
            if (whole && n == 3) {
                const unsigned char c1 = static_cast<unsigned char>(text[i + 1]);
                whole = !(c == 0xE0 && c1 < 0xA0) && !(c == 0xED && c1 >= 0xA0);
            } else if (whole && n == 4) {
                const unsigned char c1 = static_cast<unsigned char>(text[i + 1]);
                whole = !(c == 0xF0 && c1 < 0x90) && !(c == 0xF4 && c1 >= 0x90);
            }
            if (whole) {
                out.append(text, i, n);
                i += n - 1;
            } else {
                escapeByte(c);
            }
        }
    }
    return out + "\"";
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
        board += FitWidth(Prefix(item) + row.Name + "  " + row.Status, width) + "\n";
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
    switch (FForm) {
    case TCliForm::Terminal:
        Touch();
        break;
    case TCliForm::Lines:
        Permanent(Prefix(item) + address, FOut);
        break;
    case TCliForm::Json:
        Emit("{\"event\":\"started\",\"item\":" + std::to_string(item + 1) + ",\"address\":" + JsonString(address) + "}");
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

void TCliOutput::Title(int item, const std::string& name, const std::string& address)
{
    if (!name.empty())
        FRows[item].Name = name;
    if (FForm == TCliForm::Json)
        Emit("{\"event\":\"title\",\"item\":" + std::to_string(item + 1) + ",\"name\":" + JsonString(name) +
             ",\"address\":" + JsonString(address) + "}");
    else if (FForm == TCliForm::Terminal)
        Touch();
}

void TCliOutput::Attempt(int item, const std::string& name, std::int64_t offset)
{
    Row& row = FRows[item];
    row.Name = name;
    row.Status = "connecting";
    if (FForm == TCliForm::Json)
        Emit("{\"event\":\"transfer\",\"item\":" + std::to_string(item + 1) + ",\"name\":" + JsonString(name) +
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
    Emit("{\"event\":\"progress\",\"item\":" + std::to_string(item + 1) + ",\"bytes\":" + std::to_string(row.Bytes) +
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

void TCliOutput::Waiting(int item, int secondsLeft, int attempt, int count)
{
    Row& row = FRows[item];
    row.Status = "retrying in " + std::to_string(secondsLeft) + " s (" + std::to_string(attempt) + "/" +
                 std::to_string(count) + ")";
    if (FForm == TCliForm::Json)
        Emit("{\"event\":\"waiting\",\"item\":" + std::to_string(item + 1) + ",\"seconds\":" +
             std::to_string(secondsLeft) + ",\"attempt\":" + std::to_string(attempt) + ",\"count\":" +
             std::to_string(count) + "}");
    else if (FForm == TCliForm::Terminal)
        Touch();
}

void TCliOutput::Converting(int item, const std::string& outputName, bool joining)
{
    Row& row = FRows[item];
    if (row.JsonPending && FForm == TCliForm::Json)
        FlushJsonProgress(item, row);
    row.Name = outputName;
    row.Status = joining ? "joining the stream" : "converting";
    row.Joining = joining;
    if (FForm == TCliForm::Json)
        Emit(std::string("{\"event\":\"") + (joining ? "joining" : "converting") + "\",\"item\":" +
             std::to_string(item + 1) + ",\"output\":" + JsonString(outputName) + "}");
    else if (FForm == TCliForm::Terminal)
        Touch();
}

void TCliOutput::ConvertProgress(int item, int percent, const std::string& elapsed, const std::string& estimated)
{
    Row& row = FRows[item];
    row.Status = (row.Joining ? "joining " : "converting ") + std::to_string(percent) + "%  " + elapsed + " of " +
                 estimated;
    if (FForm == TCliForm::Json)
        Emit("{\"event\":\"convert-progress\",\"item\":" + std::to_string(item + 1) + ",\"percent\":" +
             std::to_string(percent) + "}");
    else if (FForm == TCliForm::Terminal)
        Touch();
}

void TCliOutput::Ended(int item, TItemOutcome outcome, const std::string& failureLine)
{
    auto it = FRows.find(item);
    const std::string name = it != FRows.end() ? it->second.Name : std::string();
    if (it != FRows.end() && it->second.JsonPending && FForm == TCliForm::Json)
        FlushJsonProgress(item, it->second);
    if (it != FRows.end())
        FRows.erase(it);
    FOutcomes.at(static_cast<std::size_t>(item)) = outcome;
    if (outcome == ioFailed)
        FFailureLines.at(static_cast<std::size_t>(item)) = failureLine;
    std::string line = Prefix(item);
    if (outcome == ioFailed)
        line += "failed: " + failureLine;
    else if (outcome == ioSkipped)
        line += "skipped: " + name + " (kept as it is)";
    else
        line += "done: " + name;
    switch (FForm) {
    case TCliForm::Terminal:
    case TCliForm::Lines:
        Permanent(line, FOut);
        break;
    case TCliForm::Json:
        Emit("{\"event\":\"ended\",\"item\":" + std::to_string(item + 1) + ",\"outcome\":\"" + OutcomeName(outcome) +
             "\",\"reason\":" + JsonString(failureLine) + "}");
        break;
    case TCliForm::Quiet:
        break;
    }
}

void TCliOutput::Note(const std::string& text)
{
    if (FForm == TCliForm::Json)
        Emit("{\"event\":\"note\",\"text\":" + JsonString(text) + "}");
    else
        Permanent(text, FErr);
}

void TCliOutput::RunEnded(bool stopped)
{
    if (FRedraw)
        FRedraw->stop();
    if (FForm == TCliForm::Terminal)
        ClearBoard();
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
                report += line + "\n";
        std::fputs(report.c_str(), FErr);
    }
    if (stopped)
        std::fputs("Stopped. The partial downloads (.part) are kept; run the same command again to resume them.\n",
                   FErr);
    std::fflush(FErr);
}

} // namespace cw
