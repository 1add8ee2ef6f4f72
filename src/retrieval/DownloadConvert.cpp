// The conversion stage: hand each file to the converter runner, show its status records, and
// move the run on when a file is finished.

#include "convert/ConvertThread.h"
#include "platform/Application.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "platform/gui/QtGlue.h"
#include "retrieval/Download.h"
#include "retrieval/DownloadText.h"
#include "ui_Download.h"

#include <memory>

namespace cw {

bool TfrmDownload::StartFile(const std::string& inputPath)
{
    TConvertProcess* runner = Runner();
    try {
        if (!runner)
            throw Exception("No convert process available");
        runner->Active = true;
        runner->InputFile = inputPath;
        runner->OutputFile =
            IncludeTrailingPathDelimiter(OutputFolder()) + ChangeFileExt(ExtractFileName(inputPath), ConvertExtension);
        runner->Window = Handle();
        runner->Arguments = ConvertArguments;
        runner->Start();
    } catch (const std::exception& e) {
        // The item fails and the run goes on; the box tells why once, whatever follows (a missing
        // converter would otherwise ask for the same answer for every file).
        FModel.Fail("Convert process failed on " + inputPath + ": " + e.what(), e.what());
        if (!FConvertStartReported) {
            FConvertStartReported = true;
            MessageBox(e.what(), Application::Title(), MB_OK | MB_ICONERROR);
        }
        return false;
    }
    const QString name = ToQt(ExtractFileName(runner->OutputFile));
    ui->lConvertName->setText(name);
    ui->lConvertName->setToolTip(name);
    return true;
}

bool TfrmDownload::StartLocalFile()
{
    SetCaption(FModel.Caption(Application::Title()));
    const std::string& entry = FModel.Address();
    // Only a file on this machine is converted: the converter would open an entry that names an
    // address, a pipe or a device as such (listen on a port, wait for input, fetch from a server).
    if (!RegularFileExists(entry)) {
        FModel.Fail("Not a local file: " + entry, "not a local file");
        return false;
    }
    return StartFile(entry);
}

void TfrmDownload::ConvertStart()
{
    ShowPanel(ui->Panel3);
    if (FTransferPath.empty()) {
        // No transfer ran for this item. Without a direct address there is no file of this
        // item at all, and whatever lies under its name in the output folder belongs to
        // something else: the item ends without a converter (its failure line is already
        // there). A file kept by answering No to the overwrite question is the user's choice
        // and is converted.
        if (DownloadUrlText().empty()) {
            NextItem();
            return;
        }
        if (!StartFile(TransferOutputPath(OutputFolder(), FileNameText(), ItemQuality())) && !Stopping())
            NextItem();
        return;
    }
    // After the fallback to the plain file, the file of the attempt that completed is the one
    // converted.
    if (!StartFile(FTransferPath) && !Stopping())
        NextItem();
}

void TfrmDownload::ConvertProgress(LPARAM lParam)
{
    std::unique_ptr<TProcessInfo> record(reinterpret_cast<TProcessInfo*>(lParam));
    if (!record || FClosed)
        return;
    if (record->Percent != 1000) {
        ui->suiProgressBar2->SetPosition(record->Percent);
        ui->lTimeElapsed->setText(ToQt(record->Elapsed));
        ui->lTimeEstimated->setText(ToQt(record->Estimated));
        return;
    }
    if (record->Status == 2)
        MessageBox("Video file will be created may be used, convert process failed!", Application::Title(),
                   MB_OK | MB_ICONERROR);
    if (record->Failed()) {
        TConvertProcess* runner = Runner();
        const std::string file = runner ? runner->InputFile : std::string();
        std::string line = "Convert process failed on " + file;
        if (record->ExitCode != 0)
            line += " (exit code " + std::to_string(record->ExitCode) + ")";
        if (!record->ErrorText.empty())
            line += ": " + record->ErrorText;
        FModel.Fail(line, record->ErrorText);
    }
    NextItem();
}

} // namespace cw
