// The main window's address list: the work of the next run, in the order it was added. Paste,
// the automatic clipboard pick-up, the add-address dialog and the local-file chooser fill it;
// Remove and Remove All empty it. Duplicates are skipped silently everywhere.
#include "app/AddressQueue.h"
#include "app/Addurl.h"
#include "app/Main.h"
#include "global/Global.h"
#include "platform/MessageBox.h"
#include "platform/Shell.h"
#include "platform/Text.h"
#include "platform/gui/QtGlue.h"
#include "ui_Main.h"

namespace cw {

int TfrmMain::ItemCount() const
{
    return ui->lvMain->topLevelItemCount();
}

std::string TfrmMain::ItemCaption(int index) const
{
    QTreeWidgetItem* item = ui->lvMain->topLevelItem(index);
    return item ? FromQt(item->text(0)) : std::string();
}

std::vector<std::string> TfrmMain::ItemCaptions() const
{
    std::vector<std::string> captions;
    captions.reserve(static_cast<std::size_t>(ItemCount()));
    for (int i = 0; i < ItemCount(); ++i)
        captions.push_back(ItemCaption(i));
    return captions;
}

CaptionSet TfrmMain::ListCaptions() const
{
    return CaptionSet(ItemCaptions());
}

int TfrmMain::ItemIndex() const
{
    QList<QTreeWidgetItem*> selected = ui->lvMain->selectedItems();
    return selected.isEmpty() ? -1 : ui->lvMain->indexOfTopLevelItem(selected.first());
}

void TfrmMain::SetItemIndex(int index)
{
    QTreeWidgetItem* item = ui->lvMain->topLevelItem(index);
    if (!item) {
        ui->lvMain->clearSelection();
        ui->lvMain->setCurrentItem(nullptr);
        return;
    }
    ui->lvMain->setCurrentItem(item);
    item->setSelected(true);
    ui->lvMain->scrollToItem(item);
}

void TfrmMain::AddItem(const std::string& caption)
{
    auto* item = new QTreeWidgetItem(QStringList{ToQt(caption)});
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    ui->lvMain->addTopLevelItem(item);
}

bool TfrmMain::HasItem(const std::string& caption) const
{
    for (int i = 0; i < ItemCount(); ++i)
        if (text::SameNoCase(ItemCaption(i), caption))
            return true;
    return false;
}

std::vector<std::string> TfrmMain::SplitClipboardAddresses(const std::string& text) const
{
    return cw::SplitClipboardAddresses(text, ListCaptions());
}

void TfrmMain::AppendAddresses(const std::vector<std::string>& addresses)
{
    for (const std::string& address : addresses)
        AddItem(address);
}

void TfrmMain::bPasteClick()
{
    bool found = false;
    if (ClipboardViewer::HasText()) {
        PreparedClipboard prepared = PrepareClipboardText(ClipboardViewer::Text(), ListCaptions());
        if (prepared.Verdict == ClipboardVerdict::Ignored)
            return; // a direct link to a video file: never queued, nothing said
        if (!prepared.Addresses.empty()) {
            found = true;
            AppendAddresses(prepared.Addresses);
        }
        if (ItemCount() > 0)
            SetItemIndex(ItemCount() - 1);
    }
    if (found)
        return;

    if (!FAskAddUrl && MessageBox("There is no proper URL on the clipboard. Do you want to add URL manually?",
                                  ProductTitle, MB_YESNO | MB_ICONINFORMATION) != IDYES)
        return;
    TfrmAddurl dialog(*this);
    if (dialog.ShowModal() == mrOk) {
        std::string url = dialog.UrlText();
        if (!HasItem(url))
            AddItem(url);
        SetItemIndex(ItemCount() - 1);
    }
}

void TfrmMain::ClipboardChanged(TMessage& msg)
{
    // The rest of the chain hears of the change first, whatever happens here.
    MessageWindow::SendMessage(FNextViewer, msg.Msg, msg.WParam, msg.LParam);

    // Only the box's own state counts: a modal window over this one blocks input but the
    // pick-up goes on.
    if (!ui->cbAutoCopy->isChecked() || !ui->cbAutoCopy->isEnabledTo(this) || !ClipboardViewer::HasText())
        return;
    PreparedClipboard prepared = PrepareClipboardText(ClipboardViewer::Text(), ListCaptions());
    if (prepared.Verdict == ClipboardVerdict::Ignored)
        return;
    AppendAddresses(prepared.Addresses);
    if (ItemCount() > 0)
        SetItemIndex(ItemCount() - 1);
}

void TfrmMain::cbAutoCopyClick()
{
    FAutoCopy = ui->cbAutoCopy->isChecked();
}

void TfrmMain::bSelectFileClick()
{
    std::vector<std::string> files = Shell::ChooseFiles("Open", "Flv files(*.flv)|*.flv| Any file(*.*)|*.*");
    for (const std::string& path : files)
        if (!HasItem(path))
            AddItem(path);
}

void TfrmMain::bRemoveClick()
{
    int i = ItemIndex();
    if (i < 0)
        return;
    int n = ItemCount();
    int next = i < n - 1 ? i : n - 2;
    delete ui->lvMain->takeTopLevelItem(i);
    SetItemIndex(next);
}

void TfrmMain::miRemoveAllClick()
{
    ui->lvMain->clear();
}

void TfrmMain::lvMainChange()
{
    ui->lvMain->setColumnWidth(0, ItemCount() < 6 ? 374 : 355);
}

} // namespace cw
