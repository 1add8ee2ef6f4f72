// The main window's address list: the work of the next run, in the order it was added. Paste,
// the automatic clipboard pick-up, the add-address dialog and the local-file chooser fill it;
// Remove and Remove All empty it. Duplicates are skipped silently everywhere.
//
// The list also takes what is dragged onto it, and answers two keys: Ctrl+V pastes (in the
// download modes) and Delete removes the selected item. A drop goes the way of the command it
// stands for: text and links the way of Paste, local files (convert mode) the way of Browser...
#include "global/AddressQueue.h"
#include "app/Addurl.h"
#include "app/Main.h"
#include "global/Global.h"
#include "platform/MessageBox.h"
#include "platform/Shell.h"
#include "platform/Text.h"
#include "platform/gui/QtGlue.h"
#include "ui_Main.h"

#include <QDropEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QUrl>

namespace cw {

namespace {

// Routes the list's drag, drop and key events to the main window, under the exception guard.
// It watches both the list and its viewport: a real drag arrives at the viewport.
class ListInputFilter : public QObject {
public:
    ListInputFilter(TfrmMain* form, QObject* parent) : QObject(parent), FForm(form) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        bool handled = false;
        Application::Guard([&] {
            switch (event->type()) {
            case QEvent::DragEnter:
            case QEvent::DragMove: {
                auto* drag = static_cast<QDragMoveEvent*>(event);
                if (FForm->lvMainCanTake(drag->mimeData()))
                    drag->acceptProposedAction();
                else
                    drag->ignore();
                handled = true;
                break;
            }
            case QEvent::Drop: {
                auto* drop = static_cast<QDropEvent*>(event);
                if (FForm->lvMainCanTake(drop->mimeData())) {
                    drop->acceptProposedAction();
                    FForm->lvMainDragDrop(drop->mimeData());
                } else {
                    drop->ignore();
                }
                handled = true;
                break;
            }
            case QEvent::KeyPress:
                handled = FForm->lvMainKeyPress(*static_cast<QKeyEvent*>(event));
                break;
            default:
                break;
            }
        });
        return handled || QObject::eventFilter(watched, event);
    }

private:
    TfrmMain* FForm;
};

// The local files among urls, as paths.
std::vector<std::string> LocalFiles(const QList<QUrl>& urls)
{
    std::vector<std::string> files;
    for (const QUrl& url : urls)
        if (url.isLocalFile() && !url.toLocalFile().isEmpty())
            files.push_back(FromQt(url.toLocalFile()));
    return files;
}

// The text a drop offers to the address rules: its links that are not local files, one per
// line, when it carries links; else its plain text. A drop of local files offers nothing (its
// plain text would only be the files' own addresses).
std::string DroppedText(const QMimeData& data)
{
    if (!data.hasUrls())
        return data.hasText() ? FromQt(data.text()) : std::string();
    std::string text;
    for (const QUrl& url : data.urls())
        if (!url.isLocalFile() && url.isValid()) {
            if (!text.empty())
                text += '\n';
            text += url.toEncoded().toStdString();
        }
    return text;
}

} // namespace

void TfrmMain::SetUpListInput()
{
    auto* filter = new ListInputFilter(this, ui->lvMain);
    ui->lvMain->setAcceptDrops(true);
    ui->lvMain->viewport()->setAcceptDrops(true);
    ui->lvMain->setDropIndicatorShown(false);
    ui->lvMain->installEventFilter(filter);
    ui->lvMain->viewport()->installEventFilter(filter);
}

bool TfrmMain::ConvertModeSelected() const
{
    return ui->rbConvert->isChecked();
}

bool TfrmMain::lvMainCanTake(const QMimeData* data) const
{
    if (!data)
        return false;
    if (ConvertModeSelected())
        return !LocalFiles(data->urls()).empty();
    return !DroppedText(*data).empty();
}

void TfrmMain::lvMainDragDrop(const QMimeData* data)
{
    if (!data)
        return;
    if (ConvertModeSelected()) {
        AddFiles(LocalFiles(data->urls()));
        return;
    }
    // Nothing usable in a drop asks nothing: the user did not ask to type an address.
    if (AddAddressText(DroppedText(*data)) != ClipboardVerdict::Ignored && ItemCount() > 0)
        SetItemIndex(ItemCount() - 1);
}

bool TfrmMain::lvMainKeyPress(const QKeyEvent& key)
{
    if (key.matches(QKeySequence::Paste)) {
        if (!ConvertModeSelected())
            bPasteClick();
        return true;
    }
    if (key.key() == Qt::Key_Delete && key.modifiers() == Qt::NoModifier) {
        bRemoveClick();
        return true;
    }
    return false;
}

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

ClipboardVerdict TfrmMain::AddAddressText(const std::string& text, bool* added)
{
    PreparedClipboard prepared = PrepareClipboardText(text, ListCaptions());
    AppendAddresses(prepared.Addresses);
    if (added)
        *added = !prepared.Addresses.empty();
    return prepared.Verdict;
}

void TfrmMain::bPasteClick()
{
    bool found = false;
    if (ClipboardViewer::HasText()) {
        if (AddAddressText(ClipboardViewer::Text(), &found) == ClipboardVerdict::Ignored)
            return; // a direct link to a video file: never queued, nothing said
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
    PreparedClipboard prepared = PrepareClipboardText(ClipboardViewer::Text(), ListCaptions(), AddressScope::Pickup);
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
    AddFiles(Shell::ChooseFiles("Open", "Flv files(*.flv)|*.flv| Any file(*.*)|*.*"));
}

void TfrmMain::AddFiles(const std::vector<std::string>& files)
{
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
