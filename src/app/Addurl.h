#pragma once
// TfrmAddurl: the add-address dialog, offered by Paste when the clipboard holds no usable
// address. Its "don't ask" box writes the main window's AskAddUrl at once, whichever way the
// dialog ends. OK refuses an empty text and one that is not a video address; the accepted text
// is taken as typed (not trimmed, not normalised).

#include "platform/gui/Form.h"

#include <memory>
#include <string>

namespace Ui {
class TfrmAddurl;
}

namespace cw {

class TfrmMain;

class TfrmAddurl : public TForm {
public:
    explicit TfrmAddurl(TfrmMain& owner);
    ~TfrmAddurl() override;

    std::string UrlText() const;
    void SetUrlText(const std::string& text);
    bool AskAddurlTicked() const;

    void bOKClick();
    void cbAskAddurlClick();

private:
    void FormCreate();

    TfrmMain& FMain;
    std::unique_ptr<Ui::TfrmAddurl> ui;
};

} // namespace cw
