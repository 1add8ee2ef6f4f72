#pragma once
// TCliRun: the items of one command, run by the engine without any window. Each item has its
// own TRunEngine and its own converter runner (a TCliJob), so up to Jobs items go through their
// page, transfer and conversion stages side by side; conversions share one TConvertGate with as
// many slots as the machine has cores. The next item starts when one ends, in input order.

#include "cli/CliOutput.h"
#include "cli/CommandLine.h"
#include "engine/ConvertGate.h"
#include "engine/OutputNames.h"
#include "engine/core/RateLimit.h"
#include "net/http/CookieJar.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace cw {

class TCliJob;

struct TCliItem {
    std::string Entry; // what the engine is given: an address, or a file's absolute path
    std::string Shown; // how the user wrote it, for the lines the command line prints
};

class TCliRun {
public:
    // items: addresses (get) or local files (convert); folder: the absolute output folder.
    TCliRun(const TCliOptions& options, std::vector<TCliItem> items, std::string folder, TCliOutput& output);
    ~TCliRun();
    TCliRun(const TCliRun&) = delete;
    TCliRun& operator=(const TCliRun&) = delete;

    // Called once, from the event loop, when the last item ended or the run was stopped.
    std::function<void()> OnFinished;

    void Start();
    // Ends every running item at once (requests, timers, converter children); the .part files
    // stay. OnFinished follows.
    void Stop();
    // 0 every item ended as asked, 1 some failed, 130 stopped.
    int ExitStatus() const;

    const TCliOptions& Options() const { return FOptions; }
    const std::string& Folder() const { return FFolder; }
    TCliOutput& Output() { return FOutput; }
    TConvertGate& Gate() { return FGate; }
    TNameClaims& Claims() { return FClaims; }
    TRateLimit* RateLimit() const { return FRateLimit.get(); }
    // The cookies of --cookies (read once, before the run), that every item starts with.
    const TCookieJar* Cookies() const { return FCookies.get(); }
    void SetCookies(std::unique_ptr<TCookieJar> jar) { FCookies = std::move(jar); }
    JobMode Mode() const;
    bool KeepsDownload() const;
    // The converter could not start: said once for the whole run, not once per item.
    bool FirstConverterFailure();
    // The pauses before the tries after the first: --retries N gives N pauses of 1, 2, 4, 8,
    // 16, 16... seconds; without it, the engine's own.
    const std::vector<std::uint32_t>& RetryDelays() const { return FRetryDelays; }

    void JobEnded(TCliJob* job, TItemOutcome outcome);

private:
    void StartNext();
    void Finish();

    TCliOptions FOptions;
    std::vector<TCliItem> FItems;
    std::vector<std::uint32_t> FRetryDelays;
    std::string FFolder;
    TCliOutput& FOutput;
    TConvertGate FGate;
    TNameClaims FClaims;
    std::unique_ptr<TRateLimit> FRateLimit;
    std::unique_ptr<TCookieJar> FCookies;
    std::vector<std::unique_ptr<TCliJob>> FRunning;
    std::size_t FNext = 0;
    int FFailed = 0;
    bool FStopped = false;
    bool FFinished = false;
    bool FConverterFailureSaid = false;
};

} // namespace cw
