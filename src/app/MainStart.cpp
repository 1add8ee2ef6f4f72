// The start of a run (the Start button): check that there is work and an output folder, hand a
// normalised copy of the list to a new download window, and wait in its modal loop until the
// run is over. The list itself is never changed by a run.
#include "app/Global.h"
#include "app/Main.h"
#include "platform/Log.h"
#include "platform/MessageBox.h"
#include "retrieval/Download.h"
#include "ui_Main.h"

#include <filesystem>
#include <memory>
#include <system_error>

namespace cw {
namespace {

bool DirectoryExists(const std::string& folder)
{
    std::error_code ec;
    return !folder.empty() && std::filesystem::is_directory(folder, ec);
}

// The folder together with every missing parent. Empty when it is there afterwards, else the
// system's reason.
std::string ForceDirectories(const std::string& folder)
{
    if (folder.empty())
        return "no folder name was given";
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (DirectoryExists(folder))
        return std::string();
    if (!ec)
        ec = std::make_error_code(std::errc::not_a_directory);
    return ec.message();
}

} // namespace

void TfrmMain::bStartClick()
{
    // Whatever fails while the run is being prepared ends the handler without a message; the
    // list stays as it is and no window is left behind.
    try {
        if ((ui->rbDownload->isChecked() || ui->rbDownloadConvert->isChecked()) && ItemCount() == 0) {
            MessageBox("Please enter video URL!", ProductTitle, MB_OK | MB_ICONINFORMATION);
            return;
        }
        if (ui->rbConvert->isChecked() && ItemCount() == 0) {
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

        auto download = std::make_unique<TfrmDownload>(this, *addressList, this);
        JobMode mode = jmDownload;
        if (ui->rbDownload->isChecked())
            mode = jmDownload;
        if (ui->rbDownloadConvert->isChecked())
            mode = jmDownloadConvert;
        if (ui->rbConvert->isChecked())
            mode = jmConvert;
        download->JobMode = mode;
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

} // namespace cw
