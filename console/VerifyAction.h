// Verify: reads all eight storage places back from the gripper and compares
// them with the grids, without writing anything. Cells whose value the
// gripper does not hold are marked (colour, and a tooltip with the
// gripper's value) until they are edited or verified again; a message says
// that every complete row matches, or which places and fields differ. On
// request Verify follows every Send at once (a choice the operator keeps),
// comparing every place that Send wrote with what it wrote. The marks go
// when the window's gripper changes.
#pragma once

#include "PlaceComparison.h"

#include <QColor>
#include <QObject>
#include <QString>

#include <vector>

class QAction;
class QMenu;
class QTableWidgetItem;

namespace tarnell {

class TForm1;
class TStringGrid;

class TVerify final : public QObject {
    Q_OBJECT
public:
    explicit TVerify(TForm1& form);

    // "Verify", Ctrl+Shift+V; and the choice "Verify after Send", Ctrl+Alt+V.
    QAction& Action() { return *verify_; }
    QAction& AfterSendAction() { return *afterSend_; }
    QMenu& Menu() { return *menu_; }

    // Runs the comparison; the outcome is shown as a message and in the grids.
    void Run();
    // The outcome of the last Run that read all eight places.
    const protocol::TComparison& Last() const { return last_; }
    // The cells marked as differing, and their colour.
    int MarkedCount() const { return static_cast<int>(marks_.size()); }
    static QColor MarkColor() { return QColor(255, 170, 170); }

private:
    struct TMark {
        TStringGrid* grid;
        int col;
        int row;
        QString text;  // the cell's text when marked
    };
    protocol::TPlaces GridPlaces() const;
    // Reads the eight places of the gripper at address and compares them
    // with expected; afterSend: expected is what a Send wrote.
    void Compare(const protocol::TPlaces& expected, int address, bool afterSend);
    void Mark(const protocol::TFieldDifference& d);
    void ClearMarks();
    void CellChanged(QTableWidgetItem* item);
    void SendClicked();

    TForm1& form_;
    QAction* verify_;
    QAction* afterSend_;
    QMenu* menu_;
    std::vector<TMark> marks_;
    bool marking_ = false;
    bool sendSequence_ = false;  // a sequence ran since Send was pressed
    protocol::TComparison last_;
};

}  // namespace tarnell
