#pragma once
// What the command line shows while items run, in one of four forms:
//   terminal  one line per running item, redrawn in place at most ten times a second; a line
//             that stays for each item that ended;
//   lines     (output is not a terminal) one line when an item starts, one when it ends;
//   json      one JSON object per event, one per line (progress at most ten a second per item);
//   quiet     nothing.
// In every form the end of the run writes the failure lines, in the order of the items, to
// standard error. Every text that did not come from this program (names, reasons, addresses)
// goes through Shown() (CliText.h) or, in JSON, through JsonString's escapes. A failed item's
// line comes in the command line's words (FailureText, from the typed failure); notes are put
// in them by PlainFailure.

#include "engine/RunEngine.h"
#include "engine/RunModel.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QTimer;

namespace cw {

struct TRateSample;

enum class TCliForm { Terminal, Lines, Json, Quiet };

class TCliOutput {
public:
    TCliOutput(TCliForm form, int itemCount, std::FILE* out, std::FILE* err);
    ~TCliOutput();
    TCliOutput(const TCliOutput&) = delete;
    TCliOutput& operator=(const TCliOutput&) = delete;

    // item: 0-based, in input order.
    void Started(int item, const std::string& address);
    void Page(int item, const std::string& what);
    // name: the file name the item will be saved under (its address when there is none).
    void Title(int item, const std::string& name, const std::string& address);
    void Attempt(int item, const std::string& name, std::int64_t offset);
    void Progress(int item, std::int64_t bytes, std::int64_t total, const TRateSample* sample);
    // Called as a pause counts down; pauseSeconds is the whole pause, said once per pause in JSON.
    void Waiting(int item, int secondsLeft, int attempt, int count, int pauseSeconds);
    // joining: the converter puts a stream's tracks together rather than converting.
    void Converting(int item, const std::string& outputName, bool joining = false);
    void ConvertProgress(int item, int percent, const std::string& elapsed, const std::string& estimated);
    // failureLine: a failed item's line in the command line's words (FailureText), a skipped
    // one's note. savedPath: the absolute path of the file the item leaves (done or skipped),
    // else "". failure: why a failed item failed, typed (its JSON event carries stage, kind and
    // status).
    void Ended(int item, TItemOutcome outcome, const std::string& failureLine, const std::string& savedPath = "",
               const TItemFailure* failure = nullptr);
    // The last words: an "ended" for every item still running (stopped), the counts, the failure
    // lines in item order, and a note after a stop.
    void RunEnded(bool stopped);
    // A text the engine wanted shown (a box in the window).
    void Note(const std::string& text);
    // Something that went wrong beside an item without failing it (a subtitle): a line
    // "[i/n] warning: text" on standard error, a "warning" event in JSON; nothing when quiet.
    void Warning(int item, const std::string& text);

    // "\"...\"" with JSON escapes: control characters, bidirectional overrides and isolates and
    // the line separators U+2028/U+2029 as \uXXXX; bytes that are not UTF-8 are taken as Latin-1.
    static std::string JsonString(const std::string& text);
    // A path under the current folder relative to it ("out/clip.mp4"), any other as it is.
    static std::string DisplayPath(const std::string& path);

private:
    struct Row {
        std::string Name;
        std::string Status;
        std::string TitleName;    // the name the last title event gave
        std::string TitleAddress; // ... and its direct address
        std::int64_t Bytes = 0;
        std::int64_t Total = -1;
        std::int64_t FirstOffset = -1; // bytes kept from earlier runs when the transfer began
        std::string Speed;
        std::string Remaining;
        std::uint32_t StartMs = 0;
        std::uint32_t TransferStartMs = 0;
        std::uint32_t TransferEndMs = 0;
        std::uint32_t LastJsonMs = 0;
        int PauseAttempt = -1; // the pause now shown, by its attempt; -1 when none
        bool JsonPending = false;
        bool Joining = false;
    };
    std::string Prefix(int item) const;
    void Emit(const std::string& json);
    void Permanent(const std::string& line, std::FILE* stream);
    void Redraw();
    void ClearBoard();
    void Touch();
    std::string ProgressStatus(const Row& row) const;
    void FlushJsonProgress(int item, Row& row);
    void EmitTitle(int item, Row& row, const std::string& name, const std::string& address);
    std::string Summary(const Row& row, const std::string& savedPath) const;

    TCliForm FForm;
    int FCount;
    std::FILE* FOut;
    std::FILE* FErr;
    std::map<int, Row> FRows; // running items, by index
    std::vector<TItemOutcome> FOutcomes;
    std::vector<std::string> FFailureLines;
    int FBoardLines = 0; // lines of the board now on the screen
    bool FDirty = false;
    std::unique_ptr<QTimer> FRedraw;
};

} // namespace cw
