#include "platform/gui/MessageBoxDialog.h"

#include "platform/Application.h"
#include "platform/MessageBox.h"
#include "platform/gui/QtGlue.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>

namespace cw {
namespace {

constexpr unsigned MB_OKCANCEL = 0x0001;

QMessageBox::Icon IconFor(unsigned flags)
{
    switch (flags & MB_ICONMASK) {
    case MB_ICONERROR:
        return QMessageBox::Critical;
    case MB_ICONQUESTION:
        return QMessageBox::Question;
    case MB_ICONWARNING:
        return QMessageBox::Warning;
    case MB_ICONINFORMATION:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

QString PlainText(const std::string& text)
{
    QString s = ToQt(text);
    s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return s;
}

// Past this many lines a notice shows its first line as the message and the rest in a
// scrolling area, so a long list (the failures of a big run) never makes a box taller than the
// screen and its OK button stays reachable.
constexpr int kMaxPlainLines = 15;

QIcon IconPixmapFor(unsigned flags, QStyle* style)
{
    switch (flags & MB_ICONMASK) {
    case MB_ICONERROR:
        return style->standardIcon(QStyle::SP_MessageBoxCritical);
    case MB_ICONQUESTION:
        return style->standardIcon(QStyle::SP_MessageBoxQuestion);
    case MB_ICONWARNING:
        return style->standardIcon(QStyle::SP_MessageBoxWarning);
    case MB_ICONINFORMATION:
        return style->standardIcon(QStyle::SP_MessageBoxInformation);
    default:
        return QIcon();
    }
}

int ShowLongNotice(QWidget* owner, const QString& text, const std::string& caption, unsigned flags)
{
    const qsizetype firstBreak = text.indexOf(QLatin1Char('\n'));
    QDialog dialog(owner);
    dialog.setObjectName(QStringLiteral("LongMessageBox"));
    dialog.setWindowTitle(ToQt(caption));
    auto* layout = new QVBoxLayout(&dialog);
    auto* top = new QHBoxLayout;
    const QIcon icon = IconPixmapFor(flags, dialog.style());
    if (!icon.isNull()) {
        auto* iconLabel = new QLabel(&dialog);
        const int extent = dialog.style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, &dialog);
        iconLabel->setPixmap(icon.pixmap(extent, extent));
        top->addWidget(iconLabel, 0, Qt::AlignTop);
    }
    auto* heading = new QLabel(text.left(firstBreak), &dialog);
    heading->setTextFormat(Qt::PlainText);
    heading->setWordWrap(true);
    top->addWidget(heading, 1);
    layout->addLayout(top);
    auto* lines = new QPlainTextEdit(&dialog);
    lines->setObjectName(QStringLiteral("MessageLines"));
    lines->setReadOnly(true);
    lines->setLineWrapMode(QPlainTextEdit::NoWrap);
    QString rest = text.mid(firstBreak + 1);
    while (rest.endsWith(QLatin1Char('\n')))
        rest.chop(1);
    lines->setPlainText(rest);
    layout->addWidget(lines, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    layout->addWidget(buttons);

    // Wide enough for the lines, as tall as some 15 of them, never beyond the screen.
    QScreen* screen = owner ? owner->screen() : QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    const QFontMetrics metrics(lines->font());
    int widest = 0;
    for (const QString& line : text.split(QLatin1Char('\n')))
        widest = std::max(widest, metrics.horizontalAdvance(line));
    const int width = std::min(std::max(420, widest + 60), available.width() * 9 / 10);
    const int height = std::min(metrics.lineSpacing() * kMaxPlainLines + 120, available.height() * 2 / 3);
    dialog.setMaximumSize(available.size());
    dialog.resize(width, height);
    dialog.exec();
    return IDOK;
}

void FillBox(QMessageBox& box, const QString& plain, const std::string& caption, unsigned flags)
{
    box.setIcon(IconFor(flags));
    box.setWindowTitle(ToQt(caption));
    box.setTextFormat(Qt::PlainText);
    box.setText(plain);
    QPushButton* first = nullptr;
    QPushButton* second = nullptr;
    const unsigned buttons = flags & MB_BUTTONMASK;
    if (buttons == MB_YESNO) {
        first = box.addButton(QMessageBox::Yes);
        second = box.addButton(QMessageBox::No);
        box.setEscapeButton(second);
    } else if (buttons == MB_OKCANCEL) {
        first = box.addButton(QMessageBox::Ok);
        second = box.addButton(QMessageBox::Cancel);
        box.setEscapeButton(second);
    } else {
        first = box.addButton(QMessageBox::Ok);
        box.setEscapeButton(first);
    }
    box.setDefaultButton((flags & MB_DEFBUTTON2) && second ? second : first);
}

int AnswerOf(const QMessageBox& box, unsigned flags)
{
    switch (box.standardButton(box.clickedButton())) {
    case QMessageBox::Yes:
        return IDYES;
    case QMessageBox::No:
        return IDNO;
    case QMessageBox::Ok:
        return IDOK;
    case QMessageBox::Cancel:
        return IDCANCEL;
    default:
        break;
    }
    const unsigned buttons = flags & MB_BUTTONMASK;
    if (buttons == MB_YESNO)
        return IDNO;
    return buttons == MB_OKCANCEL ? IDCANCEL : IDOK;
}

} // namespace

int ShowMessageBoxDialog(const std::string& text, const std::string& caption, unsigned flags)
{
    QWidget* owner = QApplication::activeModalWidget();
    if (!owner)
        owner = QApplication::activeWindow();

    const QString plain = PlainText(text);
    if ((flags & MB_BUTTONMASK) == MB_OK && plain.count(QLatin1Char('\n')) > kMaxPlainLines)
        return ShowLongNotice(owner, plain, caption, flags);

    QMessageBox box(owner);
    FillBox(box, plain, caption, flags);
    box.exec();
    return AnswerOf(box, flags);
}

void OpenMessageBoxDialog(const std::string& text, const std::string& caption, unsigned flags, MessageBoxDone done)
{
    QWidget* owner = QApplication::activeModalWidget();
    if (!owner)
        owner = QApplication::activeWindow();
    // Modal to its window only, and opened without a loop of its own: the answer comes with
    // the finished signal.
    auto* box = new QMessageBox(owner);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(owner ? Qt::WindowModal : Qt::ApplicationModal);
    FillBox(*box, PlainText(text), caption, flags);
    QObject::connect(box, &QMessageBox::finished, box, [box, flags, done = std::move(done)](int) {
        const int answer = AnswerOf(*box, flags);
        if (done)
            Application::Guard([&] { done(answer); });
    });
    box->open();
}

void InstallMessageBoxDialog()
{
    SetMessageBoxHandler(&ShowMessageBoxDialog);
    SetAsyncMessageBoxHandler(&OpenMessageBoxDialog);
}

} // namespace cw
