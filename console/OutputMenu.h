// The output window's context menu: Copy, Select All, Clear, "Save as…"
// (what the window shows, as a text file, replaced atomically) and the time
// stamp of each new line (off by default, so the window looks as it always
// did).
#pragma once

#include <QObject>

class QAction;
class QMenu;
class QWidget;

namespace tarnell {

class TMemo;

class TOutputMenu final : public QObject {
    Q_OBJECT
public:
    TOutputMenu(TMemo& output, QWidget& window);

    QMenu& Menu() { return *menu_; }
    QAction& CopyAction() { return *copy_; }
    QAction& SelectAllAction() { return *selectAll_; }
    QAction& ClearAction() { return *clear_; }
    QAction& SaveAsAction() { return *saveAs_; }
    QAction& TimeStampAction() { return *timeStamps_; }

    // Asks for a file name, then SaveTo.
    void SaveAs();
    // Writes the lines as shown, top line first, each ended by LF.
    void SaveTo(const QString& fileName);

private:
    TMemo& output_;
    QWidget& window_;
    QMenu* menu_;
    QAction* copy_;
    QAction* selectAll_;
    QAction* clear_;
    QAction* saveAs_;
    QAction* timeStamps_;
};

}  // namespace tarnell
