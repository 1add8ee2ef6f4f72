#pragma once
// TfrmMain: the program's main window and the only window made at start-up. It holds the
// address list of the next run, the output folder, the run mode, the output format and the
// download quality; reads settings.ini (SettingsLocation) when it is created and writes it
// when it closes; is a member of the clipboard-viewer chain while it lives (automatic pick-up of
// copied addresses); owns the program's single converter runner; and answers WM_SHOW_INSTANCE
// from a second start of the program.
//
// The download window reads the output folder text, the quality and the converter runner through
// TRunOwner, and the window's position and size through TForm. Handlers are public so that they
// can be driven the way the user drives them.
//
// The address list's commands live in MainAddressList.cpp; the start of a run in MainStart.cpp.

#include "platform/gui/ClipboardViewer.h"
#include "platform/gui/Form.h"
#include "retrieval/Download.h"
#include "engine/core/RateLimit.h"
#include "net/http/CookieJar.h"

#include <memory>
#include <string>
#include <vector>

class QAction;
class QKeyEvent;
class QMenu;
class QMimeData;

namespace Ui {
class TfrmMain;
}

namespace cw {

class CaptionSet;
enum class ClipboardVerdict;
class TConvertProcess;

class TfrmMain : public TForm, public TRunOwner {
public:
    // A second start of the program finds the running one by this name (at most 63 characters).
    static constexpr const char* WindowClassName = "Ostrelle Clipwarden Made by Ostrelle Software";
    static const char* const HomePage;   // the product's home page
    static const char* const MakerSite;  // the maker's web site
    static const char* const ExampleUrl; // the example watch-page address shown to the user

    // Runs FormCreate: joins the clipboard chain, creates the converter runner, reads settings.
    TfrmMain();
    ~TfrmMain() override;

    // The settings file: settings.ini beside the executable for a portable copy, else in the
    // user's configuration folder (SettingsLocation).
    static std::string SettingsFileName();
    void LoadSettings();
    void SaveSettings();

    // ---- TRunOwner
    std::string OutputFolderText() const override;
    int Quality() const override { return FQuality; }
    int Connections() const override { return FConnections; }
    bool SavesSubtitles() const override { return FSubtitles; }
    TConvertProcess* ConvertRunner() const override { return FConvertProcess.get(); }
    // RateLimit= of the settings file ("500K", "2M"; none when empty or not a rate).
    TRateLimit* RateLimit() const override { return FRateLimit.get(); }
    // CookieFile= of the settings file, read when a run starts (nullptr: none, or unreadable).
    const TCookieJar* Cookies() const override { return FCookies.get(); }
    const std::string& CookieFile() const { return FCookieFile; }

    // ---- fields
    const std::string& OutputDirectory() const { return FOutputDirectory; }
    int JobModeSetting() const { return FJobMode; } // FJobMode, as last loaded or saved
    int FormatIndexSetting() const { return FFormatIndex; }
    bool AutoCopy() const { return FAutoCopy; }
    bool AskAddUrl() const { return FAskAddUrl; }
    void SetAskAddUrl(bool value) { FAskAddUrl = value; }
    const std::string& AccountName() const { return FAccountName; }
    const std::string& AccountPassword() const { return FAccountPassword; }
    HWND NextViewer() const { return FNextViewer; }

    // ---- window handlers
    void rbDownloadClick();
    void rbDownloadConvertClick();
    void rbConvertClick();
    void mi_QalityClick(QAction* Sender);
    void bBrowserClick();
    void bShowFilesClick();
    void bExitClick();
    void iAboutClick();
    void Homepage1Click();
    void lTitleClick();
    void About1Click();
    void miSetYouTubeaccountClick();
    void bStartClick();

    // The output format chosen in cbFormat: converter arguments by the item index, extension by
    // the caption; both empty when nothing is selected.
    std::string FormatArguments() const;
    std::string FormatExtension() const;

    // ---- the address list (MainAddressList.cpp)
    void bPasteClick();
    void cbAutoCopyClick();
    void bSelectFileClick();
    void bRemoveClick();
    void miRemoveAllClick();
    void lvMainChange();
    // Drag and drop onto the list: whether the data holds something the current mode takes
    // (links or text in the download modes, local files in convert mode), and taking it.
    bool lvMainCanTake(const QMimeData* data) const;
    void lvMainDragDrop(const QMimeData* data);
    // Ctrl+V and Delete in the list; true when the key was one of them.
    bool lvMainKeyPress(const QKeyEvent& key);
    // The new, valid, distinct addresses in text, judged against the list as it is now.
    std::vector<std::string> SplitClipboardAddresses(const std::string& text) const;

    int ItemCount() const;
    std::string ItemCaption(int index) const;
    std::vector<std::string> ItemCaptions() const;
    // The selected item's index, -1 when none; setting -1 selects nothing.
    int ItemIndex() const;
    void SetItemIndex(int index);
    void AddItem(const std::string& caption);
    // An item with this caption exists (compared case-insensitively).
    bool HasItem(const std::string& caption) const;

    QMenu* MainMenu() const { return suiPopupMenu1; }
    QMenu* ListMenu() const { return suiPopupMenu2; }

protected:
    void WndProc(TMessage& msg) override;
    void FormShow() override;
    void FormClose(TCloseAction& action) override;

private:
    void FormCreate();
    void ConnectHandlers();
    void BuildMenus();
    void LoadArtwork();
    void ApplyMode(JobMode mode);
    // The mode of the checked radio button (one of them always is).
    JobMode CheckedMode() const;
    void PlaceExampleAddress();
    void ShowInstance();
    // WM_DRAWCLIPBOARD: pass it on, then pick up addresses when auto-copy is on.
    void ClipboardChanged(TMessage& msg);
    void AppendAddresses(const std::vector<std::string>& addresses);
    // Text taken by the address rules of Paste; *added tells whether anything was appended.
    ClipboardVerdict AddAddressText(const std::string& text, bool* added = nullptr);
    // Local files appended as Browser... appends them: full paths, duplicates skipped.
    void AddFiles(const std::vector<std::string>& files);
    void SetUpListInput();
    bool ConvertModeSelected() const;
    CaptionSet ListCaptions() const;

    std::unique_ptr<Ui::TfrmMain> ui;
    QMenu* suiPopupMenu1 = nullptr;
    QMenu* suiPopupMenu2 = nullptr;
    ClipboardViewer FClipboardViewer;

    HWND FNextViewer = 0;
    std::string FOutputDirectory;
    int FJobMode = jmDownload;
    int FFormatIndex = 0;
    bool FAutoCopy = false;
    bool FAskAddUrl = false;
    int FQuality = vqNormal;
    // Connections per file: 1, 2, 4, 8 or 16 (Connections in settings.ini).
    int FConnections = 4;
    // Items downloaded at once: 1 to 8 (Jobs in settings.ini).
    int FJobs = 2;
    // Subtitles in the user's language saved beside each video (Subtitles in settings.ini).
    bool FSubtitles = true;
    std::unique_ptr<TRateLimit> FRateLimit;
    std::string FCookieFile;
    std::unique_ptr<TCookieJar> FCookies;
    // Reads CookieFile= for the run about to start; a file that cannot be read is said once.
    void LoadCookies();
    std::string FAccountName;
    std::string FAccountPassword;
    std::unique_ptr<TConvertProcess> FConvertProcess;
};

} // namespace cw
