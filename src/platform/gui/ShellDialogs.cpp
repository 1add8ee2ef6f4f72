#include "platform/gui/ShellDialogs.h"

#include "platform/Shell.h"
#include "platform/gui/QtGlue.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QUrl>

namespace cw::ShellDialogs {
namespace {

QWidget* Owner()
{
    QWidget* owner = QApplication::activeModalWidget();
    return owner ? owner : QApplication::activeWindow();
}

} // namespace

bool Open(const std::string& target)
{
    if (target.empty())
        return false;
    QString text = ToQt(target);
    QUrl url;
    if (QFileInfo::exists(text))
        url = QUrl::fromLocalFile(QFileInfo(text).absoluteFilePath());
    else
        url = QUrl::fromUserInput(text);
    if (!url.isValid())
        return false;
    return QDesktopServices::openUrl(url);
}

std::optional<std::string> ChooseFolder(const std::string& title)
{
    QFileDialog dialog(Owner(), ToQt(title));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty())
        return std::nullopt;
    return FromQt(QDir::toNativeSeparators(chosen.first()));
}

std::vector<std::string> ChooseFiles(const std::string& title, const std::string& filter)
{
    QFileDialog dialog(Owner(), ToQt(title));
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setSizeGripEnabled(true);
    QStringList filters = ToQt(Shell::FilterToQt(filter)).split(QStringLiteral(";;"), Qt::SkipEmptyParts);
    // "*.*" means every file to the people who write such filters; here it would skip the many
    // files without a dot in their names.
    for (QString& f : filters)
        if (f.endsWith(QStringLiteral("(*.*)")))
            f = f.left(f.size() - 5) + QStringLiteral("(*)");
    if (!filters.isEmpty()) {
        dialog.setNameFilters(filters);
        dialog.selectNameFilter(filters.first());
    }
    dialog.selectFile(QString());

    std::vector<std::string> result;
    if (dialog.exec() != QDialog::Accepted)
        return result;
    for (const QString& path : dialog.selectedFiles())
        result.push_back(FromQt(QDir::toNativeSeparators(path)));
    return result;
}

void InstallHandlers()
{
    Shell::Handlers handlers;
    handlers.Open = &Open;
    handlers.ChooseFolder = &ChooseFolder;
    handlers.ChooseFiles = &ChooseFiles;
    Shell::SetHandlers(std::move(handlers));
}

} // namespace cw::ShellDialogs
