#pragma once
// TfrmLogin: the account dialog ("Member Login"). OK refuses an empty user name and an empty
// password; the values are only held by the main window in memory to fill the dialog next time.

#include "platform/gui/Form.h"

#include <memory>
#include <string>

namespace Ui {
class TfrmLogin;
}

namespace cw {

class TfrmLogin : public TForm {
public:
    explicit TfrmLogin(TForm* owner);
    ~TfrmLogin() override;

    std::string Username() const;
    std::string Password() const;
    void SetUsername(const std::string& value);
    void SetPassword(const std::string& value);

    void bOKClick();

private:
    std::unique_ptr<Ui::TfrmLogin> ui;
};

} // namespace cw
