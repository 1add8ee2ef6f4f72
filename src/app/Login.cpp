#include "app/Login.h"

#include "global/Global.h"
#include "platform/MessageBox.h"
#include "platform/gui/QtGlue.h"
#include "ui_Login.h"

namespace cw {

TfrmLogin::TfrmLogin(TForm* owner) : TForm(owner), ui(std::make_unique<Ui::TfrmLogin>())
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(size());
    SetPosition(poOwnerFormCenter);
    SetCancelOnEscape(true);
    connect(ui->bOK, &QPushButton::clicked, this, Guarded([this] { bOKClick(); }));
    connect(ui->bCancel, &QPushButton::clicked, this, Guarded([this] { SetModalResult(mrCancel); }));
}

TfrmLogin::~TfrmLogin() = default;

std::string TfrmLogin::Username() const
{
    return FromQt(ui->eUsername->text());
}

std::string TfrmLogin::Password() const
{
    return FromQt(ui->ePassword->text());
}

void TfrmLogin::SetUsername(const std::string& value)
{
    ui->eUsername->setText(ToQt(value));
}

void TfrmLogin::SetPassword(const std::string& value)
{
    ui->ePassword->setText(ToQt(value));
}

void TfrmLogin::bOKClick()
{
    if (Username().empty())
        MessageBox("Please enter Username.", ProductTitle, MB_OK | MB_ICONINFORMATION);
    else if (Password().empty())
        MessageBox("Please enter Password.", ProductTitle, MB_OK | MB_ICONINFORMATION);
    else
        SetModalResult(mrOk);
}

} // namespace cw
