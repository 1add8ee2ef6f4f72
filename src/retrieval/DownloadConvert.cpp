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

void TfrmDownload::StartLocalFile(int index)
{
    StartFile(AddressList->at(static_cast<std::size_t>(index)));
    SetCaption(RunCaption("Ostrelle Clipwarden", index, static_cast<int>(AddressList->size())));
}

void TfrmDownload::ConvertStart()
{
    ui->Panel2->hide();
    ui->Panel1->hide();
    ui->Panel3->show();
    SetClientWidth(ui->Panel3->width());
    SetClientHeight(ui->Panel3->height());
    if (FTransferPath.empty()) {
        // No transfer ran for this item. Without a direct address there is no file of this
        // item at all, and whatever lies under its name in the output folder belongs to
        // something else: the item ends without a converter (its failure line is already
        // there). A file kept by answering No to the overwrite question is the user's choice
        // and is converted.
        if (DownloadUrlText().empty()) {
            FinishConversion();
            return;
        }
        StartFile(TransferOutputPath(OutputFolder(), FileNameText(), FRunOwner ? FRunOwner->Quality() : vqNormal));
        return;
    }
    // After the fallback to the plain file, the file of the attempt that completed is the one
    // converted.
    StartFile(FTransferPath);
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
        MessageBox("Video file will be created may be used, convert process failed!", "Ostrelle Clipwarden",
                   MB_OK | MB_ICONERROR);
    if (record->Failed()) {
        TConvertProcess* runner = Runner();
        const std::string file = runner ? runner->InputFile : std::string();
        FailureList->push_back("Convert process failed on " + file + " (exit code " + std::to_string(record->ExitCode) +
                               ")");
    }
    FinishConversion();
}

void TfrmDownload::FinishConversion()
{
    ++ItemIndex;
    if (ItemIndex == static_cast<std::int32_t>(AddressList->size())) {
        Close();
        return;
    }
    if (JobMode == jmConvert)
        StartLocalFile(ItemIndex);
    else
        PostMessage(WM_FETCH_PAGE);
}

} // namespace cw
