#pragma once
// TfrmAbout: the about box. Shows the product title, the version line and a link to the
// product's home page; OK closes it.

#include "platform/gui/Form.h"

#include <memory>

namespace Ui {
class TfrmAbout;
}

namespace cw {

class TfrmAbout : public TForm {
public:
    static constexpr const char* VersionLine = "Version: 1.2   Build 20101203";

    explicit TfrmAbout(TForm* owner);
    ~TfrmAbout() override;

protected:
    void FormShow() override;

private:
    std::unique_ptr<Ui::TfrmAbout> ui;
};

} // namespace cw
