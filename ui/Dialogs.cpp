#include "Dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace tarnell {

namespace {

// The product's name; not the application's display name, which the
// program leaves unset so that window titles stay as they are.
QString DialogTitle() { return QCoreApplication::translate("Console", "Tarnell Console"); }

std::optional<QString> RunFileDialog(QWidget* parent, const QString& initialName, const QString& defaultExt,
                                     QFileDialog::AcceptMode mode)
{
    QFileDialog dialog(parent);
    dialog.setAcceptMode(mode);
    dialog.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    // The initial name is a pattern: it lists only the files that match it.
    if (initialName.contains(QLatin1Char('*')))
        dialog.setNameFilter(initialName);
    else
        dialog.selectFile(initialName);
    dialog.setDefaultSuffix(defaultExt);
    if (!FileFolder().isEmpty())
        dialog.setDirectory(FileFolder());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return WithDefaultExtension(dialog.selectedFiles().first(), defaultExt);
}

class TQtDialogs final : public IDialogs {
public:
    void ShowMessage(QWidget* parent, const QString& text, TMessageKind kind) override
    {
        QMessageBox box(kind == TMessageKind::Error ? QMessageBox::Critical : QMessageBox::NoIcon,
                        DialogTitle(), text, QMessageBox::Ok, parent);
        box.exec();
    }
    std::optional<QString> OpenFileName(QWidget* parent, const QString& initialName,
                                        const QString& defaultExt) override
    {
        return RunFileDialog(parent, initialName, defaultExt, QFileDialog::AcceptOpen);
    }
    std::optional<QString> SaveFileName(QWidget* parent, const QString& initialName,
                                        const QString& defaultExt) override
    {
        return RunFileDialog(parent, initialName, defaultExt, QFileDialog::AcceptSave);
    }
};

TQtDialogs g_qtDialogs;
IDialogs* g_dialogs = nullptr;
QString g_fileFolder;
std::function<void()> g_fileFolderChanged;

}  // namespace

IDialogs& Dialogs() { return g_dialogs ? *g_dialogs : g_qtDialogs; }

QString FileFolder() { return g_fileFolder; }

void SetFileFolder(const QString& folder)
{
    if (folder == g_fileFolder)
        return;
    g_fileFolder = folder;
    if (g_fileFolderChanged)
        g_fileFolderChanged();
}

void OnFileFolderChanged(std::function<void()> observer) { g_fileFolderChanged = std::move(observer); }

void SetDialogs(IDialogs* dialogs) { g_dialogs = dialogs; }

void ShowMessage(const QString& text)
{
    Dialogs().ShowMessage(QApplication::activeWindow(), text, TMessageKind::Information);
}

QString WithDefaultExtension(const QString& fileName, const QString& defaultExt)
{
    if (fileName.isEmpty() || defaultExt.isEmpty())
        return fileName;
    if (QFileInfo(fileName).fileName().contains(QLatin1Char('.')))
        return fileName;
    return fileName + QLatin1Char('.') + defaultExt;
}

}  // namespace tarnell
