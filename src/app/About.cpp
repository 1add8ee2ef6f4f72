#include "app/About.h"

#include "app/Main.h"
#include "global/Global.h"
#include "platform/gui/QtGlue.h"
#include "ui/JpegImage.h"
#include "ui_About.h"

namespace cw {

TfrmAbout::TfrmAbout(TForm* owner) : TForm(owner), ui(std::make_unique<Ui::TfrmAbout>())
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(size());
    SetPosition(poOwnerFormCenter);
    SetCancelOnEscape(true);
    QImage panel = JpegImage::Load(QStringLiteral(":/assets/panel.jpg"));
    if (!panel.isNull())
        ui->imgPanel->setPixmap(QPixmap::fromImage(panel));
    ui->imgLogo->SetPicture(JpegImage::Load(QStringLiteral(":/assets/logo.jpg")));
    ui->imgLogo->setCursor(Qt::ArrowCursor);
    ui->lVersion->setText(QString::fromLatin1(VersionLine));
    ui->lHomePage->SetUrl(TfrmMain::HomePage);
    connect(ui->bOK, &QPushButton::clicked, this, Guarded([this] { SetModalResult(mrOk); }));
}

TfrmAbout::~TfrmAbout() = default;

void TfrmAbout::FormShow()
{
    ui->lTitle->setText(ToQt(ProductTitle));
    TForm::FormShow();
}

} // namespace cw
