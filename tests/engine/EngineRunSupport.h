#pragma once
// Running the engine in tests without any window: an owner that answers the folder, quality and
// runner questions, a listener that records what the engine reports, and a run with a watchdog
// (a broken run fails the test instead of hanging it). The download window's tests share the
// owner.

#include "engine/RunEngine.h"
#include "platform/Application.h"
#include "platform/TickCount.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace enginetest {

struct TestRunOwner : cw::TRunOwner {
    std::string Folder;
    int QualityLevel = cw::vqNormal;
    cw::TConvertProcess* Runner = nullptr;
    int ConnectionsPerFile = 1;
    bool Subtitles = true;
    bool Replace = false; // files saved from the same address are fetched again and replaced
    std::string Language = "de"; // the user's language for subtitles, whatever the test's locale
    std::string OutputFolderText() const override { return Folder; }
    bool SavesSubtitles() const override { return Subtitles; }
    bool ReplacesSavedFiles() const override { return Replace; }
    std::string SubtitleLanguage() const override { return Language; }
    const cw::TCookieJar* Lent = nullptr; // cookies every item starts with
    const cw::TCookieJar* Cookies() const override { return Lent; }
    int Connections() const override { return ConnectionsPerFile; }
    int Quality() const override { return QualityLevel; }
    cw::TConvertProcess* ConvertRunner() const override { return Runner; }
};

// Everything the engine reported, as short lines, and the hooks a test needs.
struct RecordingEvents : cw::TRunEvents {
    std::vector<std::string> Waits;   // "retrying in 1 s (1/5)"
    std::vector<std::string> Ended;   // per item: "done", "skipped", or the failure line
    std::vector<std::string> Alerts;
    std::vector<std::string> Questions;
    std::vector<std::string> Notes;     // "item 1: ..." (what went wrong beside an item)
    std::vector<std::string> Subtitles; // the subtitle files saved, by name
    bool RunOver = false;
    bool Overwrite = false;
    std::int64_t Bytes = 0;
    std::int64_t Size = -1;
    std::function<void(std::int64_t bytes)> OnBytes;
    std::function<void()> OnWait;

    void TransferSize(std::int64_t total) override { Size = total; }
    void TransferProgress(std::int64_t bytes, std::int64_t, const cw::TRateSample*) override
    {
        Bytes = bytes;
        if (OnBytes)
            OnBytes(bytes);
    }
    void Waiting(int left, int attempt, int count) override
    {
        Waits.push_back("retrying in " + std::to_string(left) + " s (" + std::to_string(attempt) + "/" +
                        std::to_string(count) + ")");
        if (OnWait)
            OnWait();
    }
    void ItemEnded(int, cw::TItemOutcome outcome, const std::string& line) override
    {
        Ended.push_back(outcome == cw::ioFailed ? line : outcome == cw::ioSkipped ? "skipped" : "done");
    }
    void RunEnded(cw::TRunEnd) override { RunOver = true; }
    void Note(int index, const std::string& text) override
    {
        Notes.push_back("item " + std::to_string(index + 1) + ": " + text);
    }
    void SubtitleSaved(int, const std::string& path) override
    {
        Subtitles.push_back(path.substr(path.rfind('/') + 1));
    }
    void Alert(cw::TRunAlert, const std::string& text) override { Alerts.push_back(text); }
    void AskOverwrite(int, const std::string& path, std::function<void(bool)> answer) override
    {
        Questions.push_back(path);
        if (HoldAnswers)
            Held.push_back(std::move(answer));
        else
            answer(Overwrite);
    }
    bool HoldAnswers = false; // keep the answers for the test to give later
    std::vector<std::function<void(bool)>> Held;
};

// Pumps the loop until done() holds; false when limitMs passed first (a watchdog, not a
// measurement).
inline bool PumpUntil(const std::function<bool()>& done, int limitMs = 30000)
{
    const std::uint32_t start = cw::GetTickCount();
    while (!done()) {
        if (cw::GetTickCount() - start > static_cast<std::uint32_t>(limitMs))
            return false;
        cw::Application::WaitMessage(10);
    }
    return true;
}

// One run of the engine over items; Run pumps the loop until the run ends or is stopped.
class EngineRun {
public:
    EngineRun(const std::vector<std::string>& items, cw::JobMode mode, TestRunOwner& owner)
        : FEngine(std::make_unique<cw::TRunEngine>(items, &owner, Events))
    {
        FEngine->SetJob(mode, std::string(), std::string());
    }
    cw::TRunEngine& Engine() { return *FEngine; }

    // The watchdog stops the run after limitMs; true when the run ended by itself.
    bool Run(int limitMs = 30000)
    {
        FEngine->Start();
        if (!PumpUntil([this] { return Events.RunOver || FEngine->Stopped(); }, limitMs)) {
            WatchdogFired = true;
            FEngine->Stop();
        }
        return !WatchdogFired;
    }

    RecordingEvents Events;
    bool WatchdogFired = false;

private:
    std::unique_ptr<cw::TRunEngine> FEngine;
};

} // namespace enginetest
