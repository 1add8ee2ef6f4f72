#include "convert/ConvertThread.h"

#include "convert/ConverterEncoders.h"
#include "global/Global.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "platform/Text.h"

#include <QDateTime>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <random>
#include <unistd.h>
#include <unordered_map>

namespace cw {

// --- TProcessInfo and the undelivered-record safety net ---
//
// A posted record belongs to its receiver. If the receiving window is destroyed while the record
// still waits in the queue, the queued message is dropped with the window and nobody would free
// the record. Posted records are therefore remembered with their window until they are deleted;
// a record whose window no longer exists can never be delivered (window handles are not reused)
// and is deleted by the runner on its next post or when the runner goes.

namespace {

struct RecordBook {
    std::mutex Lock;
    std::unordered_map<TProcessInfo*, HWND> Posted;
    int Live = 0;
};

RecordBook& Book()
{
    // Never destroyed: records may be deleted during static destruction.
    static RecordBook* book = new RecordBook;
    return *book;
}

void DeleteUndeliverable()
{
    std::vector<TProcessInfo*> orphans;
    {
        RecordBook& b = Book();
        std::lock_guard<std::mutex> g(b.Lock);
        for (auto it = b.Posted.begin(); it != b.Posted.end();) {
            if (!MessageWindow::IsWindow(it->second)) {
                orphans.push_back(it->first);
                it = b.Posted.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (TProcessInfo* info : orphans)
        delete info;
}

} // namespace

TProcessInfo::TProcessInfo()
{
    RecordBook& b = Book();
    std::lock_guard<std::mutex> g(b.Lock);
    ++b.Live;
}

TProcessInfo::~TProcessInfo()
{
    RecordBook& b = Book();
    std::lock_guard<std::mutex> g(b.Lock);
    b.Posted.erase(this);
    --b.Live;
}

int TProcessInfo::LiveCount()
{
    RecordBook& b = Book();
    std::lock_guard<std::mutex> g(b.Lock);
    return b.Live;
}

// --- TConvertThread ---

TConvertThread::TConvertThread(TConvertProcess* owner, THandle stdOutRead, THandle stdErrRead, THandle waitHandle)
    : FOwner(owner), FStdOut(stdOutRead), FStdErr(stdErrRead), FWait(waitHandle)
{
}

TConvertThread::~TConvertThread()
{
    CloseHandle(FStdOut);
    CloseHandle(FStdErr);
    CloseHandle(FWait);
}

bool TConvertThread::ServePipe(THandle pipe, bool stdErr)
{
    std::int32_t count = 0;
    if (BytesAvailable(pipe, count) != 0 || count <= 0)
        return false; // a failed peek counts as no data
    // The runner is only touched inside the call, on the user-interface thread, and only while
    // this reader is still wanted: once asked to terminate it may belong to a stopped or
    // destroyed runner. The byte count travels with the call for the same reason.
    bool ran = Synchronize([this, count, stdErr] {
        if (Terminated())
            return;
        FOwner->BytesAvailable = count;
        if (stdErr)
            FOwner->ReadStdErr();
        else
            FOwner->ReadStdOut();
    });
    // A call given up because of termination leaves the data unread; counting that pass as idle
    // lets the reader end instead of peeking at the same bytes again and again.
    return ran;
}

bool TConvertThread::Pass()
{
    bool out = ServePipe(FStdOut, false);
    bool err = ServePipe(FStdErr, true);
    return out || err;
}

void TConvertThread::Execute()
{
    SetFreeOnTerminate(true);
    while (true) {
        bool busy = Pass();
        if (!busy) {
            // Woken early only by termination; data arriving meanwhile waits for the next pass.
            int w = WaitForChild(FWait, IdleWaitMs, TerminateHandle());
            if (w == WAIT_OBJECT_0) {
                while (Pass()) {
                }
                if (!Terminated())
                    Synchronize([this] {
                        if (!Terminated())
                            FOwner->ProcessEnded();
                    });
                // The child is gone: nothing is left to serve. (ProcessEnded has asked this
                // reader to terminate; leaving here also covers a call that could not run.)
                break;
            }
        }
        if (Terminated() && !busy)
            break;
    }
}

// --- TConvertProcess ---

namespace {

// Date-time as days since 1899-12-30. Taken from the UTC clock so that a change of daylight
// saving time during a conversion does not make the elapsed time jump by an hour.
double CurrentDateTime()
{
    return static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 86400000.0 + 25569.0;
}

bool IsBlankOrControl(char c)
{
    return static_cast<unsigned char>(c) <= ' ';
}

std::string Trim(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && IsBlankOrControl(s[b]))
        ++b;
    while (e > b && IsBlankOrControl(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// A whole decimal number with optional leading blanks and sign; anything else gives fallback.
std::int64_t IntOrDefault(const std::string& s, std::int64_t fallback)
{
    size_t i = 0;
    while (i < s.size() && s[i] == ' ')
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+'))
        negative = s[i++] == '-';
    if (i == s.size())
        return fallback;
    std::int64_t v = 0;
    for (; i < s.size(); ++i) {
        if (!IsDigit(s[i]) || v > 100000000000000LL)
            return fallback;
        v = v * 10 + (s[i] - '0');
    }
    return negative ? -v : v;
}

// The value of the (up to) two characters just before position p.
std::int64_t TwoBefore(const std::string& s, size_t p)
{
    size_t from = p >= 2 ? p - 2 : 0;
    return IntOrDefault(s.substr(from, p - from), 0);
}

// "hh:mm:ss" (hours may have more digits) as seconds; -1 when the text has another form.
std::int64_t ClockSeconds(const std::string& s)
{
    size_t i = 0;
    while (i < s.size() && s[i] == ' ')
        ++i;
    std::int64_t parts[3] = {0, 0, 0};
    for (int k = 0; k < 3; ++k) {
        size_t start = i;
        while (i < s.size() && IsDigit(s[i]) && i - start < 12)
            parts[k] = parts[k] * 10 + (s[i++] - '0');
        if (i == start || (k > 0 && i - start != 2))
            return -1;
        if (k < 2) {
            if (i >= s.size() || s[i] != ':')
                return -1;
            ++i;
        }
    }
    if (i != s.size() || parts[1] > 59 || parts[2] > 59)
        return -1;
    return parts[0] * 3600 + parts[1] * 60 + parts[2];
}

// "<number>kbit/s" -> "<number>k": today's converter no longer knows the unit.
std::string ChildArgument(const std::string& token)
{
    static const std::string unit = "kbit/s";
    if (token.size() <= unit.size() || token.compare(token.size() - unit.size(), unit.size(), unit) != 0)
        return token;
    std::string number = token.substr(0, token.size() - unit.size());
    bool digits = false, dot = false;
    for (char c : number) {
        if (IsDigit(c))
            digits = true;
        else if (c == '.' && !dot)
            dot = true;
        else
            return token;
    }
    return digits ? number + "k" : token;
}

std::string MinutesSeconds(std::int64_t seconds)
{
    return TwoDigitText(static_cast<int>(seconds / 60)) + ":" + TwoDigitText(static_cast<int>(seconds % 60));
}

std::string AbsolutePath(const std::string& path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    std::string dir(4096, '\0');
    if (!::getcwd(dir.data(), dir.size()))
        return path;
    dir.resize(std::strlen(dir.c_str()));
    return dir + (dir.empty() || dir.back() != '/' ? "/" : "") + path;
}

// The converter takes a name with a "protocol:" in front as an address; "file:" makes every path
// a file.
std::string LocalFileArgument(const std::string& path)
{
    return "file:" + AbsolutePath(path);
}

std::string ErrorString(int code)
{
    return std::strerror(code);
}

// Creates an empty, unique, hidden file beside outputFile that keeps its extension (the
// converter picks the container by it); 0 or an errno value.
int CreatePartialFile(const std::string& outputFile, std::string& partial)
{
    const std::string path = AbsolutePath(outputFile);
    const std::size_t slash = path.rfind('/');
    const std::string dir = path.substr(0, slash + 1);
    const std::string name = path.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
    const std::string ext = dot == std::string::npos ? std::string() : name.substr(dot);
    if (stem.size() > 180)
        stem.resize(180); // room for the marks within the longest name a folder takes
    static std::mt19937 random{std::random_device{}()};
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        char mark[16];
        std::snprintf(mark, sizeof mark, "%06x", static_cast<unsigned>(random() & 0xffffff));
        const std::string candidate = dir + "." + stem + ".converting-" + mark + ext;
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            partial = candidate;
            return 0;
        }
        error = errno;
    }
    return error;
}

// What a failed start of the converter means for the user.
std::string StartFailureReason(int code, const std::string& converter)
{
    if (code == ENOENT)
        return converter + " was not found: install it or place it beside the program";
    if (code == EACCES)
        return converter + " cannot be run: permission denied";
    return ErrorString(code);
}

// A line fit for a message: no control characters, not endless.
std::string MessageLine(const std::string& line)
{
    std::string out = Trim(line);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < ' ' || c == 0x7f)
            c = ' ';
    if (out.size() > 400)
        out = out.substr(0, 400) + "...";
    return out;
}

} // namespace

TConvertProcess::TConvertProcess() : Clock(CurrentDateTime) {}

TConvertProcess::~TConvertProcess()
{
    std::shared_ptr<Thread::Control> reader = FReaderControl;
    if (Active) {
        TerminateReader();
        Stop(0);
    }
    // Whatever the flag says, no child and no pipe outlives the runner.
    TerminateReader();
    ClosePipes();
    EndChild();
    // The reader was asked to end and wakes at once; waiting for it (briefly, and never from
    // inside its own call) keeps it from outliving the program. It cannot be stuck in a call
    // onto this thread: such a call is given up on termination, or served by the wait itself.
    DiscardPartial();
    if (reader)
        reader->WaitFor(2000);
    DeleteUndeliverable();
}

std::string TConvertProcess::BuildCommandLine(const std::string& inputFile, const std::string& outputFile,
                                              const std::string& arguments, bool overwrite)
{
    std::string line = "ffmpeg ";
    if (overwrite)
        line += "-y ";
    line += "-i \"" + inputFile + "\" ";
    line += arguments;
    line += "\"" + outputFile + "\"";
    return line;
}

std::vector<std::string> TConvertProcess::BuildArgumentVector(const std::string& inputFile,
                                                              const std::string& outputFile,
                                                              const std::string& arguments, bool overwrite,
                                                              const std::vector<std::string>& extraInputs)
{
    std::vector<std::string> args{"ffmpeg"};
    if (overwrite)
        args.push_back("-y");
    args.push_back("-protocol_whitelist");
    args.push_back("file");
    args.push_back("-i");
    args.push_back(LocalFileArgument(inputFile));
    for (const std::string& extra : extraInputs) {
        args.push_back("-i");
        args.push_back(LocalFileArgument(extra));
    }
    size_t i = 0;
    while (i < arguments.size()) {
        while (i < arguments.size() && arguments[i] == ' ')
            ++i;
        size_t start = i;
        while (i < arguments.size() && arguments[i] != ' ')
            ++i;
        if (i > start)
            args.push_back(ChildArgument(arguments.substr(start, i - start)));
    }
    args.push_back(LocalFileArgument(outputFile));
    return args;
}

void TConvertProcess::Start()
{
    // A child still running from an earlier Start (its file never finished or stopped) is ended
    // rather than left behind without a reader.
    TerminateReader();
    EndChild();
    ClosePipes();
    DiscardPartial();
    Reader = nullptr;
    FLastErrorLine.clear();
    FErrorTail.clear();
    bool overwrite = false;

    if (FileExists(OutputFile)) {
        if (AskBeforeReplacing) {
            const unsigned stopsBefore = FStopCount;
            int answer =
                MessageBox(OutputFile + " has existed,overite it?", ProductTitle, MB_YESNO | MB_ICONINFORMATION);
            // The question is modal: the user may have stopped the run while it was open. Then
            // the file is neither converted nor reported.
            if (FStopCount != stopsBefore)
                return;
            if (answer != IDYES) {
                PostFinished(1);
                return;
            }
        }
        if (IsFileInUse(OutputFile)) {
            PostFinished(2);
            return;
        }
        overwrite = true;
    }

    // The child always overwrites: the file it writes is the partial file made for it here.
    if (int rc = CreatePartialFile(OutputFile, FPartialFile); rc != 0) {
        auto* info = new TProcessInfo;
        info->Percent = 1000;
        info->ErrorText = "cannot write beside " + OutputFile + ": " + ErrorString(rc);
        Post(info);
        return;
    }
    FCommandLine = BuildCommandLine(InputFile, OutputFile, Arguments, overwrite);
    FCommandArguments = BuildArgumentVector(InputFile, FPartialFile, Arguments, true, ExtraInputs);
    FCommandArguments[0] = ConverterName;
    Duration = 0;

    try {
        CreatePipes();
        AdaptToConverter(FCommandArguments, FindProgram(ConverterName));
        int rc = ProcessInfo.Start(FCommandArguments, StdInRead, StdOutWrite, StdErrWrite);
        if (rc != 0)
            throw Exception("Error while creating convert process!" + std::to_string(rc) + " (" +
                            StartFailureReason(rc, ConverterName) + ")");
        THandle out = DuplicateHandle(StdOutRead);
        THandle err = DuplicateHandle(StdErrRead);
        THandle wait = ProcessInfo.DuplicateWaitHandle();
        if (out < 0 || err < 0 || wait < 0) {
            int e = errno;
            CloseHandle(out);
            CloseHandle(err);
            CloseHandle(wait);
            throw Exception("Error while creating convert process!" + std::to_string(e) + " (" + ErrorString(e) + ")");
        }
        auto* reader = new TConvertThread(this, out, err, wait);
        FReaderControl = reader->GetControl();
        Reader = reader;
        reader->Start();
    } catch (...) {
        ClosePipes();
        EndChild();
        DiscardPartial();
        throw;
    }
}

void TConvertProcess::CreatePipes()
{
    struct Std {
        THandle& Read;
        THandle& Write;
        bool ChildReads;
        const char* Name;
    };
    Std pipes[3] = {{StdInRead, StdInWrite, true, "STDIN"},
                    {StdOutRead, StdOutWrite, false, "STDOUT"},
                    {StdErrRead, StdErrWrite, false, "STDERR"}};
    for (Std& p : pipes) {
        int rc = CreatePipe(p.Read, p.Write);
        if (rc != 0) {
            ClosePipes();
            throw Exception(std::string("Error on ") + p.Name + " pipe creation : " + std::to_string(rc));
        }
        rc = MoveAboveStdHandles(p.ChildReads ? p.Read : p.Write);
        if (rc != 0) {
            ClosePipes();
            throw Exception(std::string("Error on ") + p.Name + " pipe duplication : " + std::to_string(rc));
        }
        // The user-interface thread reads only what the reader saw waiting; should another
        // party drain a pipe first, the read returns empty rather than blocking the program.
        if (!p.ChildReads)
            SetNonBlocking(p.Read);
    }
}

void TConvertProcess::ClosePipes()
{
    CloseHandle(StdInRead);
    CloseHandle(StdInWrite);
    CloseHandle(StdOutRead);
    CloseHandle(StdOutWrite);
    CloseHandle(StdErrRead);
    CloseHandle(StdErrWrite);
}

void TConvertProcess::TerminateReader()
{
    if (FReaderControl)
        FReaderControl->Terminate();
    FReaderControl.reset();
    Reader = nullptr;
}

void TConvertProcess::EndChild()
{
    ProcessInfo.Kill();
}

void TConvertProcess::DiscardPartial()
{
    if (!FPartialFile.empty())
        ::unlink(FPartialFile.c_str());
    FPartialFile.clear();
}

void TConvertProcess::NoteErrorOutput(const std::string& chunk)
{
    // Lines may arrive in pieces; only the unfinished last one is carried to the next chunk,
    // and not without bound.
    constexpr std::size_t MaxTail = 4096;
    std::size_t start = 0;
    for (std::size_t i = 0; i < chunk.size(); ++i) {
        if (chunk[i] != '\r' && chunk[i] != '\n')
            continue;
        FErrorTail.append(chunk, start, i - start);
        if (!Trim(FErrorTail).empty())
            FLastErrorLine = FErrorTail;
        FErrorTail.clear();
        start = i + 1;
    }
    FErrorTail.append(chunk, start, std::string::npos);
    if (FErrorTail.size() > MaxTail)
        FErrorTail.erase(0, FErrorTail.size() - MaxTail);
}

void TConvertProcess::ReadPipe(THandle pipe, const char* errorText)
{
    if (BytesAvailable <= 0)
        return;
    std::string buffer(static_cast<size_t>(BytesAvailable), '\0');
    int got = 0;
    int rc = ReadHandle(pipe, buffer.data(), BytesAvailable, got);
    if (rc != 0) {
        TerminateReader();
        throw Exception(errorText + std::to_string(rc));
    }
    buffer.resize(static_cast<size_t>(got));
    if (pipe == StdErrRead)
        NoteErrorOutput(buffer);
    ParseOutput(buffer);
}

void TConvertProcess::ReadStdOut()
{
    ReadPipe(StdOutRead, "Error reading STDOUT pipe : ");
}

void TConvertProcess::ReadStdErr()
{
    ReadPipe(StdErrRead, "Error reading STDERR pipe : ");
}

void TConvertProcess::ProcessEnded()
{
    TerminateReader();
    ClosePipes();
    const int exitCode = ProcessInfo.Close();
    auto* info = new TProcessInfo;
    info->Percent = 1000;
    info->ExitCode = exitCode;
    if (exitCode != 0) {
        // An exit status nobody could read (-1) is no success: the output is not put in place.
        if (!Trim(FErrorTail).empty())
            FLastErrorLine = FErrorTail; // a last line without its line end
        info->ErrorText = exitCode < 0 && Trim(FLastErrorLine).empty()
                              ? std::string("the converter's exit status is unknown")
                              : MessageLine(FLastErrorLine);
        DiscardPartial();
    } else if (!FPartialFile.empty()) {
        if (::rename(FPartialFile.c_str(), OutputFile.c_str()) != 0) {
            info->ErrorText = "cannot put the converted file in place as " + OutputFile + ": " + ErrorString(errno);
            DiscardPartial();
        }
        FPartialFile.clear();
    }
    FLastErrorLine.clear();
    FErrorTail.clear();
    Post(info);
}

void TConvertProcess::Stop(int exitCode)
{
    // The child is killed outright; an exit code cannot be imposed on it here, and nothing
    // reads one after a stop.
    (void)exitCode;
    if (!Active)
        return;
    Active = false;
    ++FStopCount;
    TerminateReader();
    ClosePipes();
    EndChild();
    DiscardPartial();
}

void TConvertProcess::PostFinished(int status, int exitCode)
{
    auto* info = new TProcessInfo;
    info->Percent = 1000;
    info->Status = status;
    info->ExitCode = exitCode;
    Post(info);
}

void TConvertProcess::Post(TProcessInfo* info)
{
    {
        RecordBook& b = Book();
        std::lock_guard<std::mutex> g(b.Lock);
        b.Posted[info] = Window;
    }
    if (!MessageWindow::PostMessage(Window, WM_CONVERT_PROGRESS, 0, reinterpret_cast<LPARAM>(info)))
        delete info; // no such window: nobody else will
    DeleteUndeliverable();
}

void TConvertProcess::ParseOutput(const std::string& chunk)
{
    std::int64_t hours = 0, minutes = 0, seconds = 0, time = 0;
    size_t pos = 0;
    while (pos < chunk.size()) {
        // CR, LF and CR LF all end a line; the empty "line" between CR and LF is skipped below.
        size_t end = chunk.find_first_of("\r\n", pos);
        if (end == std::string::npos)
            end = chunk.size();
        const std::string line = chunk.substr(pos, end - pos);
        pos = end + 1;
        if (Trim(line).empty())
            continue;
        const std::string lower = text::Lower(line);

        size_t at = lower.find("duration:");
        if (at != std::string::npos) {
            std::string rest = Trim(line.substr(at + 9));
            size_t colon = rest.find(':');
            if (colon != std::string::npos) {
                hours = TwoBefore(rest, colon);
                rest = rest.substr(colon + 1);
            }
            colon = rest.find(':');
            if (colon != std::string::npos) {
                minutes = TwoBefore(rest, colon);
                rest = rest.substr(colon + 1);
            }
            size_t dot = rest.find('.');
            if (dot != std::string::npos)
                seconds = TwoBefore(rest, dot);
            Duration = hours * 3600 + minutes * 60 + seconds;
            StartTime = Clock();
        }

        at = lower.find("time=");
        if (at == std::string::npos)
            continue;
        const std::string rest = line.substr(at + 5);
        size_t dot = rest.find('.');
        if (dot != std::string::npos) {
            const std::string head = rest.substr(0, dot);
            // Seconds ("time=41.00") as well as the clock form today's converter writes
            // ("time=00:01:02.34").
            time = IntOrDefault(head, 0);
            if (time == 0) {
                std::int64_t clock = ClockSeconds(head);
                time = clock > 0 ? clock : 0;
            }
        }
        if (time <= 0 || Duration <= 0)
            continue;
        const std::int64_t percent = time * 100 / Duration;
        if (percent < 1 || percent > 100)
            continue;
        double elapsedExact = (Clock() - StartTime) * 86400.0;
        // Rounded to the nearest second, halves to the even neighbour (the default rounding).
        std::int64_t elapsed = static_cast<std::int64_t>(std::nearbyint(elapsedExact));
        if (elapsed < 0)
            elapsed = 0; // the clock was set back
        std::int64_t estimated = static_cast<std::int64_t>(
            std::nearbyint(static_cast<double>(elapsed) * 100.0 / static_cast<double>(percent)));
        auto* info = new TProcessInfo;
        info->Percent = static_cast<std::int32_t>(percent);
        info->Elapsed = MinutesSeconds(elapsed);
        info->Estimated = MinutesSeconds(estimated);
        info->Status = 0;
        Post(info);
    }
}

} // namespace cw
