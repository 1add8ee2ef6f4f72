// The conversion stage: hand each file to the converter runner, show its status records, and
// move the run on when a file is finished.

#include "convert/ConvertThread.h"
#include "platform/Application.h"
#include "platform/MessageBox.h"
#include "platform/gui/QtGlue.h"
#include "retrieval/Download.h"
#include "retrieval/DownloadText.h"
#include "ui_Download.h"

#include <memory>

namespace cw {

void TfrmDownload::StartFile(const std::string& inputPath)
{
    TConvertProcess* runner = Runner();
    if (!runner)
        throw Exception("No convert process available");
    runner->Active = true;
    runner->InputFile = inputPath;
    runner->OutputFile =
        IncludeTrailingPathDelimiter(OutputFolder()) + ChangeFileExt(ExtractFileName(inputPath), ConvertExtension);
    runner->Window = Handle();
    runner->Arguments = ConvertArguments;
    runner->Start();
    const QString name = ToQt(ExtractFileName(runner->OutputFile));
    ui->lConvertName->setText(name);
    ui->lConvertName->setToolTip(name);
}

bool TfrmDownload::TryStartFile(const std::string& inputPath)
{
    try {
        StartFile(inputPath);
        return true;
    } catch (const std::exception& e) {
        // The error is shown once; the item fails and the caller moves on, rather than
        // leaving the window on the conversion panel until Stop.
        Application::HandleException(e.what());
        FModel.Fail("Unable to convert " + inputPath + ": " + e.what(), e.what());
        return false;
    }
}

bool TfrmDownload::StartLocalFile()
{
    SetCaption(FModel.Caption(Application::Title()));
    return TryStartFile(FModel.Address());
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
        if (!TryStartFile(TransferOutputPath(OutputFolder(), FileNameText(), ItemQuality())))
            NextItem();
        return;
    }
    // After the fallback to the plain file, the file of the attempt that completed is the one
    // converted.
    if (!TryStartFile(FTransferPath))
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
        FModel.Fail("Convert process failed on " + file + " (exit code " + std::to_string(record->ExitCode) + ")");
    }
    NextItem();
}

} // namespace cw
