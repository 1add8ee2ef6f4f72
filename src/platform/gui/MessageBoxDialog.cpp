#include "platform/gui/MessageBoxDialog.h"

#include "platform/MessageBox.h"
#include "platform/gui/QtGlue.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

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

} // namespace

int ShowMessageBoxDialog(const std::string& text, const std::string& caption, unsigned flags)
{
    QWidget* owner = QApplication::activeModalWidget();
    if (!owner)
        owner = QApplication::activeWindow();

    QMessageBox box(owner);
    box.setIcon(IconFor(flags));
    box.setWindowTitle(ToQt(caption));
    box.setTextFormat(Qt::PlainText);
    box.setText(PlainText(text));

    QPushButton* first = nullptr;
    QPushButton* second = nullptr;
    unsigned buttons = flags & MB_BUTTONMASK;
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

    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    switch (box.standardButton(clicked)) {
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
    if (buttons == MB_YESNO)
        return IDNO;
    return buttons == MB_OKCANCEL ? IDCANCEL : IDOK;
}

void InstallMessageBoxDialog()
{
    SetMessageBoxHandler(&ShowMessageBoxDialog);
}

} // namespace cw
