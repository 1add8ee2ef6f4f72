// The start of a run (the Start button): check that there is work and an output folder, hand a
// normalised copy of the list to a new download window, and wait in its modal loop until the
// run is over. The list itself is never changed by a run.
#include "app/Main.h"
#include "global/Global.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/MessageBox.h"
#include "retrieval/Download.h"

#include <cstdlib>
#include <memory>

namespace cw {

void TfrmMain::bStartClick()
{
    // Whatever fails while the run is being prepared ends the handler without a message; the
    // list stays as it is and no window is left behind.
    try {
        const bool convertOnly = CheckedMode() == jmConvert;
        if (!convertOnly && ItemCount() == 0) {
            MessageBox("Please enter video URL!", ProductTitle, MB_OK | MB_ICONINFORMATION);
            return;
        }
        if (convertOnly && ItemCount() == 0) {
            MessageBox("Please select a local video file!", ProductTitle, MB_OK | MB_ICONINFORMATION);
            return;
        }

        FOutputDirectory = OutputFolderText();
        if (!DirectoryExists(FOutputDirectory)) {
            const std::string question =
                FOutputDirectory + "," + " the output directory does not exist." + "\r\n" + "creates a new directory?";
            if (MessageBox(question, ProductTitle, MB_YESNO | MB_ICONINFORMATION) != IDYES)
                return;
            // Said to the user: a run into a folder that is not there cannot save anything.
            if (const std::string reason = ForceDirectories(FOutputDirectory); !reason.empty()) {
                MessageBox("Cannot create " + FOutputDirectory + ": " + reason, ProductTitle, MB_OK | MB_ICONERROR);
                return;
            }
        }

        auto addressList = std::make_unique<std::vector<std::string>>();
        for (int i = 0; i < ItemCount(); ++i)
            addressList->push_back(NormalizeVideoAddress(ItemCaption(i)));

        if (!convertOnly)
            LoadCookies();
        auto download = std::make_unique<TfrmDownload>(this, *addressList, this);
        download->JobMode = CheckedMode();
        download->Jobs = FJobs;
        download->ConvertExtension = FormatExtension();
        download->ConvertArguments = FormatArguments();

        download->ShowModal();

        // Freed here, not later from the event loop: nothing the closed window still had queued
        // may run after the run has ended.
        download.reset();
        addressList.reset();

        if (ItemCount() > 0)
            SetItemIndex(0);
    } catch (...) {
        LogCaught("main window", "the run ended early");
    }
}

void TfrmMain::LoadCookies()
{
    FCookies.reset();
    if (FCookieFile.empty())
        return;
    std::string path = FCookieFile;
    if (path.rfind("~/", 0) == 0)
        if (const char* home = std::getenv("HOME"))
            path = home + path.substr(1);
    auto jar = std::make_unique<TCookieJar>();
    const TCookieFileRead read = ReadCookieFile(path, *jar);
    if (!read.Ok) {
        // Said before the run, which goes on without them: a page that needs the session
        // fails on its own, and the user knows why.
        MessageBox("The cookies file is not used: " + read.Error, ProductTitle, MB_OK | MB_ICONWARNING);
        return;
    }
    if (read.Skipped > 0)
        LogLine("main window", path + ": " + std::to_string(read.Skipped) +
                                   " line(s) are no cookie and were passed over (the first: line " +
                                   std::to_string(read.FirstSkippedLine) + ")");
    FCookies = std::move(jar);
}

} // namespace cw
