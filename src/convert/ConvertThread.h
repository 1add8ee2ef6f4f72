#pragma once
// The converter runner: starts the external converter (ffmpeg) as a child process whose
// standard handles are pipes, follows its progress from the text it writes, and reports to the
// download window with posted WM_CONVERT_PROGRESS messages.
//
// There is one TConvertProcess in the program (the main window owns it). For every file the
// download window sets Active, InputFile, OutputFile, Window and Arguments, then calls Start.
// Reports for that file: zero or more progress records (Percent 1..100), then exactly one
// finished record (Percent 1000) - unless the file is stopped, Start raised, or a read failed.
//
// Threads. A companion TConvertThread peeks at the child's two output pipes and waits on the
// child, 100 ms at a time when nothing flows. Every read, every scan, every report and every
// handle close runs on the user-interface thread (the reader's blocking calls onto it, or the
// callers of Start/Stop), so the fields below need no lock. The reader never touches the runner
// outside those calls, and each call first checks that the reader has not been asked to
// terminate: a stopped or destroyed runner is never touched by a reader that is still winding
// down.
//
// Records. Each report is a heap TProcessInfo posted as lParam of WM_CONVERT_PROGRESS to
// Window; the receiver owns it and deletes it. A record that cannot be delivered (the window is
// already gone when it is posted, or is destroyed while the record waits in the queue) is
// deleted by the runner, so nothing leaks either way.

#include "platform/MessageWindow.h"
#include "platform/Process.h"
#include "platform/Thread.h"
#include "platform/Types.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace cw {

// Posted to TConvertProcess::Window: wParam 0, lParam a TProcessInfo* the receiver deletes.
constexpr unsigned WM_CONVERT_PROGRESS = 0x1606;

class TProcessInfo : public TObject {
public:
    TProcessInfo();
    ~TProcessInfo() override;
    TProcessInfo(const TProcessInfo&) = delete;
    TProcessInfo& operator=(const TProcessInfo&) = delete;

    // 1..100: progress of the current file; 1000: the current file is finished.
    std::int32_t Percent = 0;
    // Elapsed and projected total conversion time as "mm:ss" (minutes may run past two
    // digits: "100:05"); empty in a finished record.
    std::string Elapsed;
    std::string Estimated;
    // 0: normal; 1: the output file exists and the user kept it (no converter ran); 2: the output
    // file exists and is in use by another program (no converter ran).
    std::int32_t Status = 0;
    // Finished records only: the converter's exit code. 0 when it succeeded, or when no converter
    // ran for the file (overwrite declined, output in use). Non-zero means the conversion failed:
    // the receiver should add a failure line naming the file and this code, and still advance.
    // A converter killed by a signal reports 128 + the signal number.
    std::int32_t ExitCode = 0;
    // Finished records of a failed conversion: why it failed. The converter's own last non-empty
    // line of error output, or the runner's reason when the file could not be written or put in
    // place (then ExitCode may be 0). Empty for a conversion that succeeded.
    std::string ErrorText;

    bool Finished() const { return Percent == 1000; }
    bool Failed() const { return Finished() && (ExitCode != 0 || !ErrorText.empty()); }

    // Records alive right now (posted and not yet deleted); for leak checks in tests.
    static int LiveCount();
};

class TConvertProcess;

// The reader thread of one child. Created running by Start; frees itself when its body ends,
// which is at its first idle pass after it has been asked to terminate.
class TConvertThread : public Thread {
public:
    // stdOutRead/stdErrRead/waitHandle are the reader's own duplicates (it closes them); the
    // runner's handles may be closed at any time without disturbing it.
    TConvertThread(TConvertProcess* owner, THandle stdOutRead, THandle stdErrRead, THandle waitHandle);
    ~TConvertThread() override;

    // Time of one idle wait on the child, in milliseconds.
    static constexpr int IdleWaitMs = 100;

protected:
    void Execute() override;

private:
    // One pass over both pipes; true when something was read.
    bool Pass();
    bool ServePipe(THandle pipe, bool stdErr);

    TConvertProcess* FOwner;
    THandle FStdOut;
    THandle FStdErr;
    THandle FWait;
};

class TConvertProcess : public TObject {
public:
    TConvertProcess();
    // Ends the conversion in progress: the reader is asked to terminate, the child is killed and
    // reaped, nothing more is posted. Never leaves a child or a reader behind.
    ~TConvertProcess() override;
    TConvertProcess(const TConvertProcess&) = delete;
    TConvertProcess& operator=(const TConvertProcess&) = delete;

    // Converts InputFile into OutputFile with Arguments and reports to Window. Asks before
    // overwriting an existing output (No: finished record at once; output in use: finished
    // record with Status 2). Raises Exception on pipe or process failures ("Error while
    // creating convert process!2 (ffmpeg was not found: ...)" when the converter cannot be
    // found). A child still running from an earlier Start is ended first.
    //
    // The converter writes into a hidden partial file beside OutputFile, which replaces
    // OutputFile only when the converter succeeded. A conversion that fails or is stopped
    // removes its partial file and leaves everything else as it was: an existing OutputFile the
    // user agreed to overwrite survives a failed conversion, and the input is never touched.
    void Start();
    // Ends the current conversion at once (the child is killed and its partial output removed),
    // posts nothing. Does nothing unless Active. Callers pass 0.
    void Stop(int exitCode);

    // Run on the user-interface thread at the reader's request.
    void ReadStdOut();
    void ReadStdErr();
    void ProcessEnded();
    // Posts a finished record with the given status (and exit code) to Window.
    void PostFinished(int status, int exitCode = 0);
    // Scans one chunk of the converter's text: duration and progress lines.
    void ParseOutput(const std::string& chunk);

    // The command line as text, built exactly as the converter is described to take it
    // ("ffmpeg [-y ]-i \"in\" <arguments>\"out\""); for display and tests. Paths are not escaped.
    static std::string BuildCommandLine(const std::string& inputFile, const std::string& outputFile,
                                        const std::string& arguments, bool overwrite);
    // The argument vector the child really gets: the same pieces, paths as whole arguments,
    // preset arguments split on blanks, "<number>kbit/s" passed as "<number>k". Both paths are
    // passed as "file:" + absolute path and the input may use no other protocol, so a name that
    // looks like an address ("tcp://...?listen=1", "pipe:0", "http://...") is only ever a file.
    // extraInputs follow the first input, each as "-i file:<absolute path>" (a stream's separate
    // audio joined to its video).
    static std::vector<std::string> BuildArgumentVector(const std::string& inputFile, const std::string& outputFile,
                                                        const std::string& arguments, bool overwrite,
                                                        const std::vector<std::string>& extraInputs = {});
    // Command line and argument vector of the last child started (empty before the first).
    const std::string& CommandLine() const { return FCommandLine; }
    const std::vector<std::string>& CommandArguments() const { return FCommandArguments; }

    // True while a child started by Start has not ended, been stopped or been killed.
    bool Running() const { return ProcessInfo.Running(); }

    // The program started; a bare name is looked for in the executable's folder, then PATH.
    std::string ConverterName = "ffmpeg";

    // The clock behind Elapsed/Estimated, as days (a date-time). Tests may replace it.
    std::function<double()> Clock;

    // --- job and state fields ---
    THandle StdInRead = InvalidHandle, StdInWrite = InvalidHandle;
    THandle StdOutRead = InvalidHandle, StdOutWrite = InvalidHandle;
    THandle StdErrRead = InvalidHandle, StdErrWrite = InvalidHandle;
    std::int32_t BytesAvailable = 0;
    TProcess ProcessInfo;             // the child; empty when it ended or the start failed
    TConvertThread* Reader = nullptr; // informational: never dereferenced by the runner
    double StartTime = 0;             // clock time at which the duration line was seen
    std::int64_t Duration = 0;        // seconds, as announced by the converter
    HWND Window = 0;                  // receiver of the records
    std::string InputFile;
    std::string OutputFile;
    bool Active = false; // set by the caller before Start, cleared by Stop
    std::string Arguments;
    std::vector<std::string> ExtraInputs; // more input files, read beside InputFile
    // Start asks before replacing an existing output; false when the caller has asked already
    // (an output in use is still refused).
    bool AskBeforeReplacing = true;

protected:
    void CreatePipes();
    void ClosePipes();

private:
    friend class TConvertThread;
    void ReadPipe(THandle pipe, const char* errorText);
    void TerminateReader();
    void EndChild(); // kill + reap whatever child is there
    void DiscardPartial();
    void NoteErrorOutput(const std::string& chunk);
    void Post(TProcessInfo* info);

    std::shared_ptr<Thread::Control> FReaderControl;
    unsigned FStopCount = 0;
    std::string FCommandLine;
    std::vector<std::string> FCommandArguments;
    // The file the current child writes; renamed to OutputFile when it succeeds.
    std::string FPartialFile;
    // The converter's error output: the last complete non-empty line, and what followed it.
    std::string FLastErrorLine;
    std::string FErrorTail;
};

} // namespace cw
