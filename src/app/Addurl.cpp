#include "app/Addurl.h"

#include "global/AddressQueue.h"
#include "app/Main.h"
#include "global/Global.h"
#include "platform/MessageBox.h"
#include "platform/gui/QtGlue.h"
#include "ui_Addurl.h"

namespace cw {

TfrmAddurl::TfrmAddurl(TfrmMain& owner) : TForm(&owner), FMain(owner), ui(std::make_unique<Ui::TfrmAddurl>())
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(size());
    SetPosition(poOwnerFormCenter);
    SetCancelOnEscape(true);
    ui->lPrompt->setText(QStringLiteral("Enter video URL (Example: ") + ToQt(TfrmMain::ExampleUrl) +
                         QStringLiteral(")"));
    connect(ui->bOK, &QPushButton::clicked, this, Guarded([this] { bOKClick(); }));
    connect(ui->bCancel, &QPushButton::clicked, this, Guarded([this] { SetModalResult(mrCancel); }));
    connect(ui->cbAskAddurl, &QCheckBox::clicked, this, Guarded([this] { cbAskAddurlClick(); }));
    FormCreate();
}

TfrmAddurl::~TfrmAddurl() = default;

void TfrmAddurl::FormCreate()
{
    ui->cbAskAddurl->setChecked(FMain.AskAddUrl());
}

std::string TfrmAddurl::UrlText() const
{
    return FromQt(ui->eUrl->text());
}

void TfrmAddurl::SetUrlText(const std::string& text)
{
    ui->eUrl->setText(ToQt(text));
}

bool TfrmAddurl::AskAddurlTicked() const
{
    return ui->cbAskAddurl->isChecked();
}

void TfrmAddurl::cbAskAddurlClick()
{
    FMain.SetAskAddUrl(ui->cbAskAddurl->isChecked());
}

void TfrmAddurl::bOKClick()
{
    std::string url = UrlText();
    if (url.empty())
        MessageBox("Please enter video URL!", ProductTitle, MB_OK | MB_ICONINFORMATION);
    else if (!AddressInScope(url, AddressScope::List))
        MessageBox(std::string("Please enter the url like ") + TfrmMain::ExampleUrl, ProductTitle,
                   MB_OK | MB_ICONINFORMATION);
    else
        SetModalResult(mrOk);
}

} // namespace cw
