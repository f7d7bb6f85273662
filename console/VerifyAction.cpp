#include "VerifyAction.h"

#include "BesideForm.h"
#include "ConsoleErrors.h"
#include "ConsoleStrings.h"
#include "Dialogs.h"
#include "StringGrid.h"
#include "TarnellApplication.h"
#include "Unit1.h"

#include <QAction>
#include <QMenu>
#include <QPushButton>

namespace tarnell {

namespace p = protocol;

namespace {

std::string Bytes(const QString& text)
{
    const QByteArray b = text.toLatin1();
    return std::string(b.constData(), std::size_t(b.size()));
}

QString Text(const std::string& bytes) { return QString::fromLatin1(bytes.data(), qsizetype(bytes.size())); }

QString PlaceList(const std::vector<int>& places)
{
    QStringList list;
    for (int n : places)
        list << QString::number(n);
    return list.join(QStringLiteral(", "));
}

// The protocol describes a difference in English for tarnell-cli; the
// operator reads it in the window's language.
QString Difference(const p::TFieldDifference& d)
{
    const bool reference = d.place == p::kReferencePlace;
    const char* field = QT_TRANSLATE_NOOP("Console", "grip force");
    if (d.field == p::TPlaceField::Grip)
        field = reference ? QT_TRANSLATE_NOOP("Console", "reference-drive position")
                          : QT_TRANSLATE_NOOP("Console", "grip position");
    else if (d.field == p::TPlaceField::Provision)
        field = reference ? QT_TRANSLATE_NOOP("Console", "force-compensation position")
                          : QT_TRANSLATE_NOOP("Console", "provision position");
    return strings::Tr(QT_TRANSLATE_NOOP("Console", "place %1 %2: %3 in the grid, %4 in the gripper"))
        .arg(d.place)
        .arg(strings::Tr(field), Text(d.expected),
             d.actual.empty() ? strings::Tr(QT_TRANSLATE_NOOP("Console", "nothing")) : Text(d.actual));
}

}  // namespace

TVerify::TVerify(TForm1& form) : QObject(&form), form_(form)
{
    verify_ = NewFormAction(form, tr("&Verify"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_V),
                            tr("Read the 8 storage places back and compare them with the grids; "
                               "nothing is written (Ctrl+Shift+V)"));
    connect(verify_, &QAction::triggered, this, Guarded([this] { Run(); }));

    afterSend_ = NewFormAction(form, tr("Verify &after Send"), QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_V),
                               tr("Verify right after every Send (Ctrl+Alt+V)"));
    afterSend_->setCheckable(true);
    menu_ = new QMenu(&form);
    menu_->setAccessibleName(tr("Verify menu"));
    menu_->addAction(afterSend_);

    // After the Send's own handler, which was connected first; pressed comes
    // before either.
    connect(form.bSenden, &QPushButton::pressed, this, [this] { sendSequence_ = false; });
    connect(form.bSenden, &QPushButton::clicked, this, Guarded([this] { SendClicked(); }));
    for (TStringGrid* grid : {form.StringGrid1, form.StringGrid2})
        connect(grid, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) { CellChanged(item); });
    // Another sequence's turn: Verify waits, as the other sending controls do.
    connect(&form, &TForm1::sequenceChanged, this, [this](bool running) {
        verify_->setEnabled(!running);
        sendSequence_ = sendSequence_ || running;
    });
    // The marks tell of one gripper: another one's cells are not known.
    connect(&form, &TForm1::gripperChanged, this, [this] { ClearMarks(); });
}

p::TPlaces TVerify::GridPlaces() const
{
    p::TPlaces places;
    for (int n = 1; n < p::kReferencePlace; ++n)
        places[std::size_t(n - 1)] = {Bytes(form_.StringGrid1->Cell(1, n)), Bytes(form_.StringGrid1->Cell(2, n)),
                                      Bytes(form_.StringGrid1->Cell(3, n))};
    places[p::kReferencePlace - 1] = {Bytes(form_.StringGrid2->Cell(1, 1)), Bytes(form_.StringGrid2->Cell(2, 1)),
                                      std::string()};
    return places;
}

void TVerify::Run()
{
    if (form_.SequenceRunning())
        return;
    // The grids and the gripper as they are at the click: what the operator
    // asked about.
    Compare(GridPlaces(), form_.State().GripperAddress, false);
}

void TVerify::Compare(const p::TPlaces& expected, int address, bool afterSend)
{
    ClearMarks();
    if (!form_.BeginSequence())
        return;
    struct TEnd {
        TForm1& form;
        ~TEnd() { form.EndSequence(); }
    } end{form_};

    TConsoleState& s = form_.State();
    p::TPlaces held;
    for (int n = 1; n <= p::kPlaceCount; ++n) {
        const std::string command = p::RecallCommand(address, n);
        if (!form_.SequenceExchange(command) || s.TimedOut)
            return;  // the time-out message has been shown
        std::optional<p::TRecallFields> f;
        try {
            f = p::ParseRecall(s.LastReply);
        } catch (const p::EConvertError&) {
        }
        if (!f || f->place != n) {
            Dialogs().ShowMessage(&form_,
                                  tr("Verify stopped: the answer to %1 is not the contents of place %2:\n%3")
                                      .arg(Text(command))
                                      .arg(n)
                                      .arg(Text(p::Trimmed(s.LastReply))),
                                  TMessageKind::Error);
            return;
        }
        held[std::size_t(n - 1)] = {f->grip, f->provision, n == p::kReferencePlace ? std::string() : f->force};
    }

    last_ = p::ComparePlaces(expected, held);
    for (const p::TFieldDifference& d : last_.differences)
        Mark(d);
    QString text;
    if (last_.compared.empty()) {
        text = tr("Verify: no row of the grids is complete, so nothing was compared.");
    } else if (last_.Matches()) {
        text = tr("Verify: all complete rows match the gripper at address %1 (places %2).")
                   .arg(address)
                   .arg(PlaceList(last_.compared));
    } else {
        QStringList lines;
        for (const p::TFieldDifference& d : last_.differences)
            lines << Difference(d);
        text = tr("Verify: %1 field(s) differ from the gripper at address %2:\n%3")
                   .arg(last_.differences.size())
                   .arg(address)
                   .arg(lines.join(QLatin1Char('\n')));
    }
    if (!last_.skipped.empty())
        text += (afterSend ? tr("\nNot compared (not sent): places %1.")
                           : tr("\nNot compared (a cell is empty): places %1."))
                    .arg(PlaceList(last_.skipped));
    Dialogs().ShowMessage(&form_, text, last_.Matches() ? TMessageKind::Information : TMessageKind::Error);
}

void TVerify::Mark(const p::TFieldDifference& d)
{
    TStringGrid* grid = d.place == p::kReferencePlace ? form_.StringGrid2 : form_.StringGrid1;
    const int col = int(d.field) + 1;
    const int row = d.place == p::kReferencePlace ? 1 : d.place;
    QTableWidgetItem* item = grid->item(row, col);
    if (!item)
        return;
    marking_ = true;
    item->setBackground(MarkColor());
    item->setToolTip(tr("Gripper: %1").arg(d.actual.empty() ? tr("(nothing)") : Text(d.actual)));
    marking_ = false;
    marks_.push_back({grid, col, row, grid->Cell(col, row)});
}

void TVerify::ClearMarks()
{
    marking_ = true;
    for (const TMark& m : marks_) {
        if (QTableWidgetItem* item = m.grid->item(m.row, m.col)) {
            item->setBackground(QBrush());
            item->setToolTip(QString());
        }
    }
    marking_ = false;
    marks_.clear();
}

void TVerify::CellChanged(QTableWidgetItem* item)
{
    if (marking_ || !item)
        return;
    // An edited cell no longer shows what was compared.
    for (auto it = marks_.begin(); it != marks_.end(); ++it) {
        if (it->grid != item->tableWidget() || it->row != item->row() || it->col != item->column())
            continue;
        if (it->grid->Cell(it->col, it->row) == it->text)
            return;
        marking_ = true;
        item->setBackground(QBrush());
        item->setToolTip(QString());
        marking_ = false;
        marks_.erase(it);
        return;
    }
}

void TVerify::SendClicked()
{
    // Every place the Send wrote is read back and compared with what it
    // wrote there, at the gripper it wrote to, also after a time-out on
    // the way; unless no place was answered at all (nobody is there).
    const TForm1::TSent& sent = form_.LastSend();
    if (!std::exchange(sendSequence_, false) || !afterSend_->isChecked() || form_.SequenceRunning() ||
        sent.sent.empty() || sent.answered == 0)
        return;
    p::TPlaces expected;
    for (int n : sent.sent)
        expected[std::size_t(n - 1)] = sent.places[std::size_t(n - 1)];
    Compare(expected, sent.address, true);
}

}  // namespace tarnell
