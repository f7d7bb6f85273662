#include "OutputMenu.h"

#include "Dialogs.h"
#include "Memo.h"
#include "ParameterFile.h"
#include "TarnellApplication.h"

#include <QAction>
#include <QFile>
#include <QMenu>

namespace tarnell {

TOutputMenu::TOutputMenu(TMemo& output, QWidget& window) : QObject(&window), output_(output), window_(window)
{
    menu_ = new QMenu(&output);
    menu_->setAccessibleName(tr("Output window menu"));
    copy_ = menu_->addAction(tr("&Copy"), &output, &TMemo::copy);
    copy_->setShortcut(QKeySequence::Copy);
    copy_->setEnabled(false);
    connect(&output, &TMemo::copyAvailable, copy_, &QAction::setEnabled);
    selectAll_ = menu_->addAction(tr("Select &All"), &output, [this] {
        output_.FlushPending();
        output_.selectAll();
    });
    selectAll_->setShortcut(QKeySequence::SelectAll);
    clear_ = menu_->addAction(tr("C&lear"), &output, [this] { output_.Clear(); });
    menu_->addSeparator();
    saveAs_ = menu_->addAction(tr("&Save as…"), this, Guarded([this] { SaveAs(); }));
    menu_->addSeparator();
    timeStamps_ = menu_->addAction(tr("&Time stamp on each new line"));
    timeStamps_->setCheckable(true);
    timeStamps_->setChecked(output.TimeStamps());
    connect(timeStamps_, &QAction::toggled, this, [this](bool on) { output_.SetTimeStamps(on); });

    output.setContextMenuPolicy(Qt::CustomContextMenu);
    connect(&output, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) {
                output_.FlushPending();
                menu_->popup(output_.viewport()->mapToGlobal(at));
            });
}

void TOutputMenu::SaveAs()
{
    const std::optional<QString> name =
        Dialogs().SaveFileName(&window_, QStringLiteral("*.txt"), QStringLiteral("txt"));
    if (name)
        SaveTo(*name);
}

void TOutputMenu::SaveTo(const QString& fileName)
{
    // The output's texts are byte strings, one byte per character.
    QByteArray data;
    for (const QString& line : output_.Lines())
        data += line.toLatin1() + '\n';
    WriteFileReplacing(QFile::encodeName(fileName).toStdString(), std::string_view(data.constData(), data.size()));
}

}  // namespace tarnell
