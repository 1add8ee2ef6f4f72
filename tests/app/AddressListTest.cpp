// The address list driven through the offscreen platform's real clipboard: what Paste and the
// automatic pick-up take, what they refuse silently, the question and the add-address dialog,
// the local-file chooser, and the remove commands with their selection rule.
#include "AppTestSupport.h"

#include "global/AddressQueue.h"
#include "app/Addurl.h"
#include "global/Global.h"
#include "platform/MessageBox.h"
#include "platform/Text.h"

using namespace cw;
using namespace cwtest;

namespace {

const char* const kQuestion = "There is no proper URL on the clipboard. Do you want to add URL manually?";

class AddressList : public MainWindowTest {
protected:
    void TickAutoCopy()
    {
        auto* box = W<QCheckBox>("cbAutoCopy");
        if (!box->isChecked())
            box->click();
    }
    void Copy(const std::string& text) { ClipboardViewer::SetText(text); }
};

TEST_F(AddressList, CopiedTextWithThreeLinesAddsOnlyTheNewValidOneAndSelectsTheLastItem)
{
    Open();
    Form->AddItem(kOne);
    Form->AddItem("http://www.metacafe.com/watch/1/x/");
    TickAutoCopy();
    // One already listed (in other letter case), one YouTube address that is not a watch page.
    Copy("HTTP://WWW.YOUTUBE.COM/WATCH?V=ONE\r\nhttp://www.youtube.com/user/someone\r\n" + kTwo + "\r\n");
    EXPECT_EQ(Items(), (std::vector<std::string>{kOne, "http://www.metacafe.com/watch/1/x/", kTwo}));
    EXPECT_EQ(Form->ItemIndex(), 2);
    EXPECT_EQ(Boxes.Count(), 0u);

    // The same through Paste, which also takes an ordinary web address standing alone.
    Form->miRemoveAllClick();
    Form->AddItem(kOne);
    Form->bPasteClick();
    EXPECT_EQ(Items(), (std::vector<std::string>{kOne, "http://www.youtube.com/user/someone", kTwo}));
    EXPECT_EQ(Form->ItemIndex(), 2);
    EXPECT_EQ(Boxes.Count(), 0u);
}

TEST_F(AddressList, SameAddressTwiceInOneCopyIsAddedOnceAndNotAgainLater)
{
    Open();
    TickAutoCopy();
    Copy(kOne + "\n" + kOne + "\n");
    EXPECT_EQ(Items(), std::vector<std::string>{kOne});
    Copy(kOne);
    Copy("  " + kOne + "  \r\n");
    EXPECT_EQ(Items(), std::vector<std::string>{kOne});
}

TEST_F(AddressList, LinesKeepTheirBlanksAndOnlyTheLastLineKeepsItsCarriageReturn)
{
    Open();
    TickAutoCopy();
    // The whole text is trimmed, single lines are not: the inner line keeps its leading blank.
    Copy(kOne + "\r\n " + kTwo + "\r\n" + kThree);
    EXPECT_EQ(Items(), (std::vector<std::string>{kOne, " " + kTwo, kThree}));
}

TEST_F(AddressList, VideoCacheLinksAreIgnoredSilentlyByPasteAndPickUp)
{
    Open();
    TickAutoCopy();
    Copy(kCache + "\n" + kOne);
    EXPECT_EQ(Form->ItemCount(), 0);
    Form->bPasteClick();
    EXPECT_EQ(Form->ItemCount(), 0);
    EXPECT_EQ(Boxes.Count(), 0u); // not even the question

    Copy("  \r\n" + std::string("HTTP://") + text::Upper(VideoCacheHost) + "/x");
    Form->bPasteClick();
    EXPECT_EQ(Boxes.Count(), 0u);
}

// The pick-up leaves ordinary links alone and takes direct media links; Paste takes any web
// address standing alone; text with no address at all leads Paste to the question.
TEST_F(AddressList, PickUpTakesMediaLinksPasteTakesPagesAndTextWithoutAddressesAsks)
{
    Open();
    TickAutoCopy();
    Copy("http://video.example.org/watch?v=1");
    EXPECT_EQ(Form->ItemCount(), 0);
    Copy("https://cdn.example.org/films/Clip.MP4?sig=1\nhttp://video.example.org/page\n");
    EXPECT_EQ(Items(), std::vector<std::string>{"https://cdn.example.org/films/Clip.MP4?sig=1"});
    Form->miRemoveAllClick();
    Form->bPasteClick();
    EXPECT_EQ(Items(), (std::vector<std::string>{"https://cdn.example.org/films/Clip.MP4?sig=1",
                                                 "http://video.example.org/page"}));
    EXPECT_EQ(Boxes.Count(), 0u);

    Form->miRemoveAllClick();
    Copy("no address in this text, not even example.org");
    Boxes.QueueAnswer(IDNO);
    Form->bPasteClick();
    ASSERT_EQ(Boxes.Count(), 1u);
    EXPECT_EQ(Boxes.Boxes()[0].Text, kQuestion);
    EXPECT_EQ(Boxes.Boxes()[0].Flags, MB_YESNO | MB_ICONINFORMATION);
    EXPECT_EQ(Boxes.Boxes()[0].Caption, "Ostrelle Clipwarden");
    EXPECT_EQ(Form->ItemCount(), 0);
}

TEST_F(AddressList, PasteOfAddressesAlreadyListedCountsAsNothingFound)
{
    Open();
    Form->AddItem(kOne);
    Form->AddItem(kTwo);
    Form->SetItemIndex(0);
    Copy(kOne);
    Boxes.QueueAnswer(IDNO);
    Form->bPasteClick();
    EXPECT_EQ(Boxes.Count(), 1u);
    EXPECT_EQ(Form->ItemIndex(), 1); // the last item is selected all the same
}

TEST_F(AddressList, AnsweringYesOpensTheDialogWhichAddsTheTypedAddressUnlessListed)
{
    Open();
    Form->AddItem(kOne);
    Copy("nothing useful");
    Boxes.QueueAnswer(IDYES);
    std::string caption;
    WhenModal<TfrmAddurl>([&](TfrmAddurl* dialog) {
        caption = dialog->Caption();
        dialog->SetUrlText(" http://video.google.com/videoplay?docid=5 ");
        dialog->findChild<QPushButton*>("bOK")->click();
    });
    Form->bPasteClick();
    EXPECT_EQ(caption, "Add video URL");
    EXPECT_EQ(Items(), (std::vector<std::string>{kOne, " http://video.google.com/videoplay?docid=5 "}));
    EXPECT_EQ(Form->ItemIndex(), 1);

    // A listed address typed again is not added twice; the last item is still selected.
    Form->SetItemIndex(0);
    Boxes.QueueAnswer(IDYES);
    WhenModal<TfrmAddurl>([&](TfrmAddurl* dialog) {
        dialog->SetUrlText(text::Upper(kOne));
        dialog->bOKClick();
    });
    Form->bPasteClick();
    EXPECT_EQ(Form->ItemCount(), 2);
    EXPECT_EQ(Form->ItemIndex(), 1);
}

TEST_F(AddressList, DialogRefusesEmptyAndNonVideoTextAndItsBoxIsWrittenThroughAtOnce)
{
    Open();
    Copy("no address");
    Boxes.QueueAnswer(IDYES);
    bool tickedAtStart = true;
    WhenModal<TfrmAddurl>([&](TfrmAddurl* dialog) {
        tickedAtStart = dialog->AskAddurlTicked();
        dialog->bOKClick();
        dialog->SetUrlText("www.youtube.com/user/x");
        dialog->bOKClick();
        EXPECT_EQ(dialog->ModalResult(), mrNone); // stays open after both refusals
        dialog->findChild<QCheckBox*>("cbAskAddurl")->click();
        dialog->findChild<QPushButton*>("bCancel")->click();
    });
    Form->bPasteClick();
    EXPECT_FALSE(tickedAtStart);
    ASSERT_EQ(Boxes.Count(), 3u);
    EXPECT_EQ(Boxes.Boxes()[1].Text, "Please enter video URL!");
    EXPECT_EQ(Boxes.Boxes()[2].Text, std::string("Please enter the url like ") + TfrmMain::ExampleUrl);
    EXPECT_EQ(Boxes.Boxes()[2].Flags, MB_OK | MB_ICONINFORMATION);
    EXPECT_EQ(Form->ItemCount(), 0);
    EXPECT_TRUE(Form->AskAddUrl()); // kept although the dialog was cancelled

    // From now on Paste opens the dialog without asking.
    Boxes.Clear();
    bool tickedNow = false;
    WhenModal<TfrmAddurl>([&](TfrmAddurl* dialog) {
        tickedNow = dialog->AskAddurlTicked();
        dialog->SetUrlText(kThree);
        dialog->bOKClick();
    });
    Form->bPasteClick();
    EXPECT_EQ(Boxes.Count(), 0u);
    EXPECT_TRUE(tickedNow);
    EXPECT_EQ(Items(), std::vector<std::string>{kThree});
}

TEST_F(AddressList, TickingAutoCopyTakesOnlyLaterChanges)
{
    Open();
    Copy(kOne);
    EXPECT_EQ(Form->ItemCount(), 0); // not ticked yet
    TickAutoCopy();
    EXPECT_TRUE(Form->AutoCopy());
    EXPECT_EQ(Form->ItemCount(), 0); // ticking does not look at the clipboard
    Copy(kTwo);
    EXPECT_EQ(Items(), std::vector<std::string>{kTwo});
    W<QCheckBox>("cbAutoCopy")->click();
    EXPECT_FALSE(Form->AutoCopy());
    Copy(kThree);
    EXPECT_EQ(Form->ItemCount(), 1);
}

TEST_F(AddressList, ConvertModePicksUpNothingEvenWithAutoCopyOn)
{
    WriteFile(SettingsPath(), "[Copy]\nEnable=1\n");
    Open();
    W<QRadioButton>("rbConvert")->click();
    EXPECT_TRUE(Form->AutoCopy());
    Copy(kOne);
    EXPECT_EQ(Form->ItemCount(), 0);
    W<QRadioButton>("rbDownload")->click();
    Copy(kTwo);
    EXPECT_EQ(Items(), std::vector<std::string>{kTwo});
}

TEST_F(AddressList, PickUpGoesOnWhileAModalWindowCoversTheMainWindow)
{
    Open();
    TickAutoCopy();
    TForm cover(Form.get());
    QTimer::singleShot(0, &cover, [&] {
        Copy(kOne);
        cover.SetModalResult(mrOk);
    });
    cover.ShowModal();
    EXPECT_EQ(Items(), std::vector<std::string>{kOne});
}

TEST_F(AddressList, LocalFilesAreAddedInTheChoosersOrderWithoutDuplicates)
{
    Open();
    W<QRadioButton>("rbConvert")->click();
    Form->AddItem("/videos/a.flv");
    Form->SetItemIndex(0);
    NextFiles = {"/videos/b.flv", "/VIDEOS/A.FLV", "/videos/c.mp4"};
    W<QPushButton>("bSelectFile")->click();
    EXPECT_EQ(FileFilters, std::vector<std::string>{"Flv files(*.flv)|*.flv| Any file(*.*)|*.*"});
    EXPECT_EQ(Items(), (std::vector<std::string>{"/videos/a.flv", "/videos/b.flv", "/videos/c.mp4"}));
    EXPECT_EQ(Form->ItemIndex(), 0); // the selection is not moved

    NextFiles.clear(); // cancelled
    A("miBrowser")->trigger();
    EXPECT_EQ(Form->ItemCount(), 3);
}

TEST_F(AddressList, RemoveSelectsTheItemThatTookThePlaceOrTheNewLastOne)
{
    Open();
    Form->bRemoveClick(); // nothing selected, nothing to do
    for (const char* name : {"a", "b", "c", "d", "e"})
        Form->AddItem(std::string("http://www.youtube.com/watch?v=") + name);

    Form->SetItemIndex(4);
    Form->bRemoveClick();
    EXPECT_EQ(Form->ItemCount(), 4);
    EXPECT_EQ(Form->ItemIndex(), 3);

    Form->SetItemIndex(1);
    A("miRemoveItem")->trigger();
    EXPECT_EQ(Form->ItemCount(), 3);
    EXPECT_EQ(Form->ItemIndex(), 1);
    EXPECT_EQ(Form->ItemCaption(1), "http://www.youtube.com/watch?v=c");

    Form->SetItemIndex(-1);
    Form->bRemoveClick();
    EXPECT_EQ(Form->ItemCount(), 3);

    A("miRemoveAll")->trigger();
    Form->AddItem(kOne);
    Form->SetItemIndex(0);
    W<QPushButton>("bRemove")->click();
    EXPECT_EQ(Form->ItemCount(), 0);
    EXPECT_EQ(Form->ItemIndex(), -1);
}

TEST_F(AddressList, ColumnNarrowsWhenTheSixthItemArrivesAndWidensAgain)
{
    Open();
    QTreeWidget* list = List();
    EXPECT_EQ(list->columnWidth(0), 355); // as designed until the first change
    for (int i = 0; i < 5; ++i)
        Form->AddItem("http://www.youtube.com/watch?v=" + std::to_string(i));
    EXPECT_EQ(list->columnWidth(0), 374);
    Form->AddItem(kOne);
    EXPECT_EQ(list->columnWidth(0), 355);
    Form->SetItemIndex(5);
    Form->bRemoveClick();
    EXPECT_EQ(list->columnWidth(0), 374);
    EXPECT_TRUE(list->isHeaderHidden());
    EXPECT_EQ(list->toolTip(), "Show popup menu on right click");
}

TEST(SplitClipboardAddresses, LongTextsAreSplitCompletelyAndInOrder)
{
    // Many lines and many listed captions: every new valid line is kept once, in order.
    std::vector<std::string> listed;
    for (int i = 0; i < 20000; i += 2)
        listed.push_back("http://www.youtube.com/watch?v=" + std::to_string(i));
    std::string text;
    for (int i = 0; i < 20000; ++i)
        text += "http://www.youtube.com/watch?v=" + std::to_string(i) + (i % 3 ? "\r\n" : "\n");
    text += "http://www.youtube.com/watch?v=1\n\n\r\n";
    std::vector<std::string> result = SplitClipboardAddresses(text, CaptionSet(listed));
    ASSERT_EQ(result.size(), 10000u);
    EXPECT_EQ(result.front(), "http://www.youtube.com/watch?v=1");
    EXPECT_EQ(result.back(), "http://www.youtube.com/watch?v=19999");
    EXPECT_TRUE(SplitClipboardAddresses("", CaptionSet()).empty());
    EXPECT_TRUE(SplitClipboardAddresses("\n\r\n\r", CaptionSet()).empty());
    EXPECT_EQ(SplitClipboardAddresses(kOne + "\r", CaptionSet()), std::vector<std::string>{kOne + "\r"});
}

TEST(PrepareClipboardText, TrimsOnlyTheEndsAndKeepsBytesAboveAscii)
{
    EXPECT_EQ(TrimControls("\x01\t " + kOne + "\r\n\x1f "), kOne);
    EXPECT_EQ(TrimControls("\xc3\xa9x\xc3\xa9"), "\xc3\xa9x\xc3\xa9");
    EXPECT_EQ(TrimControls(std::string("\0\0", 2)), "");
    EXPECT_EQ(PrepareClipboardText("no address here", CaptionSet()).Verdict, ClipboardVerdict::NoAddress);
    EXPECT_EQ(PrepareClipboardText("\r\n" + kCache, CaptionSet()).Verdict, ClipboardVerdict::Ignored);
    // The cache host counts only at the very beginning.
    PreparedClipboard p = PrepareClipboardText(kOne + "\n" + kCache, CaptionSet());
    EXPECT_EQ(p.Verdict, ClipboardVerdict::Addresses);
    EXPECT_EQ(p.Addresses, std::vector<std::string>{kOne});
}

} // namespace
