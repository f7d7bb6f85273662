#include "StringGrid.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QValidator>

namespace tarnell {

namespace {

// Accepts a change of the editor's text only if what it inserts passes the
// grid's key filter. Only the inserted part is judged, so a cell that holds
// other text (from a file or a reply) can still be edited.
class TInsertFilter final : public QValidator {
public:
    TInsertFilter(const TStringGrid& grid, const TCellEditor& editor)
        : QValidator(const_cast<TCellEditor*>(&editor)), grid_(grid), editor_(editor)
    {
    }

    State validate(QString& input, int&) const override
    {
        const QString& before = editor_.AcceptedText();
        qsizetype prefix = 0;
        while (prefix < input.size() && prefix < before.size() && input[prefix] == before[prefix])
            ++prefix;
        qsizetype suffix = 0;
        while (suffix < input.size() - prefix && suffix < before.size() - prefix &&
               input[input.size() - 1 - suffix] == before[before.size() - 1 - suffix])
            ++suffix;
        QString inserted = input.mid(prefix, input.size() - prefix - suffix);
        return grid_.Accepts(inserted) ? Acceptable : Invalid;
    }

private:
    const TStringGrid& grid_;
    const TCellEditor& editor_;
};

}  // namespace

TCellEditor::TCellEditor(TStringGrid& grid, int col, int row, QWidget* parent)
    : QLineEdit(parent), grid_(grid), col_(col), row_(row)
{
    setFrame(false);
    setValidator(new TInsertFilter(grid_, *this));
    connect(this, &QLineEdit::textChanged, this, [this](const QString& text) { accepted_ = text; });
}

void TCellEditor::SetTextUnfiltered(const QString& text)
{
    if (text == this->text())
        return;
    accepted_ = text;
    setText(text);
}

// Paints the fixed cells as headings and hands the grid its editors.
class TCellDelegate final : public QStyledItemDelegate {
public:
    explicit TCellDelegate(TStringGrid& grid) : QStyledItemDelegate(&grid), grid_(grid) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        if (!grid_.IsFixed(index.column(), index.row())) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        const QPalette& pal = grid_.palette();
        QRect r = option.rect;
        painter->save();
        painter->fillRect(r, pal.color(QPalette::Button));
        painter->setPen(pal.color(QPalette::Light));
        painter->drawLine(r.topLeft(), r.topRight());
        painter->drawLine(r.topLeft(), r.bottomLeft());
        painter->setPen(pal.color(QPalette::ButtonText));
        painter->setFont(option.font);
        painter->drawText(r.adjusted(2, 1, -1, -1), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                          index.data(Qt::DisplayRole).toString());
        painter->restore();
    }

    // Ctrl+Tab is the grid's way out, not the next cell: passed on to it.
    bool eventFilter(QObject* object, QEvent* event) override
    {
        if (event->type() == QEvent::KeyPress) {
            auto* key = static_cast<QKeyEvent*>(event);
            if ((key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) &&
                (key->modifiers() & Qt::ControlModifier))
                return false;
        }
        return QStyledItemDelegate::eventFilter(object, event);
    }

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex& index) const override
    {
        auto* editor = new TCellEditor(grid_, index.column(), index.row(), parent);
        grid_.EditorCreated(editor);
        return editor;
    }

    void setEditorData(QWidget* editor, const QModelIndex& index) const override
    {
        static_cast<TCellEditor*>(editor)->SetTextUnfiltered(index.data(Qt::EditRole).toString());
    }

    // The editor writes its cell on every change; nothing is left to commit.
    void setModelData(QWidget*, QAbstractItemModel*, const QModelIndex&) const override {}

private:
    TStringGrid& grid_;
};

TStringGrid::TStringGrid(int colCount, int rowCount, int fixedCols, int fixedRows, QWidget* parent)
    : QTableWidget(rowCount, colCount, parent), fixedCols_(fixedCols), fixedRows_(fixedRows)
{
    horizontalHeader()->hide();
    verticalHeader()->hide();
    horizontalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setMinimumSectionSize(1);
    setItemDelegate(new TCellDelegate(*this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setWordWrap(false);
    for (int r = 0; r < rowCount; ++r)
        for (int c = 0; c < colCount; ++c)
            setItem(r, c, new QTableWidgetItem);
    SetDefaultColWidth(64);
    for (int r = 0; r < rowCount; ++r)
        setRowHeight(r, 24);
    SetEditing(false);

    // The current cell starts at the first cell that is not fixed.
    if (fixedCols < colCount && fixedRows < rowCount)
        SetSelection(fixedCols, fixedRows);

    connect(this, &QTableWidget::currentCellChanged, this, [this](int row, int col, int prevRow, int prevCol) {
        if (moving_ || row < 0 || col < 0 || (row == prevRow && col == prevCol))
            return;
        if (OnClick)
            OnClick();
    });
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget* old, QWidget* now) {
        auto inside = [this](QWidget* w) { return w && (w == this || isAncestorOf(w)); };
        // A modal box of another window takes the focus without leaving the grid.
        if (inside(old) && now && !inside(now) && now->window() == window() && OnExit)
            OnExit();
    });
}

TStringGrid::~TStringGrid()
{
    // Focus changes and editor deletions during the base class's destruction
    // must not reach this part of the object any more.
    disconnect(qApp, nullptr, this, nullptr);
    if (editor_)
        editor_->disconnect(this);
    OnClick = nullptr;
    OnExit = nullptr;
    OnKeyPress = nullptr;
    OnSetEditText = nullptr;
}

QString TStringGrid::Cell(int col, int row) const
{
    const QTableWidgetItem* it = (col >= 0 && row >= 0) ? item(row, col) : nullptr;
    return it ? it->text() : QString();
}

void TStringGrid::SetCell(int col, int row, const QString& text)
{
    QTableWidgetItem* it = (col >= 0 && row >= 0) ? item(row, col) : nullptr;
    if (it && it->text() != text)
        it->setText(text);  // an open editor on the cell follows (setEditorData)
}

void TStringGrid::SetDefaultColWidth(int width)
{
    for (int c = 0; c < columnCount(); ++c)
        setColumnWidth(c, width);
}

int TStringGrid::ClientWidth() const
{
    // From the frame, not the viewport: the viewport is laid out only when
    // the grid is first shown.
    int width = contentsRect().width();
    if (verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOn)
        width -= verticalScrollBar()->sizeHint().width();
    return width;
}

int TStringGrid::TextWidth(const QString& text) const { return fontMetrics().horizontalAdvance(text); }

int TStringGrid::TextHeight(const QString& text) const
{
    return fontMetrics().boundingRect(QRect(), Qt::TextSingleLine, text).height();
}

void TStringGrid::MoveTo(int col, int row) { setCurrentCell(row, col); }

void TStringGrid::SetSelection(int col, int row)
{
    if (col < 0 || row < 0 || col >= columnCount() || row >= rowCount())
        return;
    moving_ = true;
    setCurrentCell(row, col, QItemSelectionModel::ClearAndSelect);
    moving_ = false;
    if (inViewHandler_ > 0)
        chosenCell_ = QPoint(col, row);
}

template <class F>
void TStringGrid::KeepingSelection(F viewHandler)
{
    ++inViewHandler_;
    viewHandler();
    if (--inViewHandler_ > 0 || chosenCell_.x() < 0)
        return;
    const QPoint cell = chosenCell_;
    chosenCell_ = QPoint(-1, -1);
    SetSelection(cell.x(), cell.y());
    // Tab opens the editor on the cell it moved to; keys go to the chosen one.
    // The window may not be active yet after a message box, so the focus it
    // gave that editor is handed back to the grid explicitly.
    if (editor_ && QPoint(editor_->Col(), editor_->Row()) != cell)
        CloseEditorKeepingFocus();
}

void TStringGrid::CloseEditorKeepingFocus()
{
    QWidget* focus = window()->focusWidget();
    const bool focusHere = focus == this || isAncestorOf(focus);
    closeEditor(editor_, QAbstractItemDelegate::NoHint);
    if (focusHere)
        setFocus();
}

void TStringGrid::SetEditing(bool on)
{
    // A grid that stops editing closes its editor: its text is in the cell
    // already, and no key may change the cell afterwards. The focus stays.
    if (!on && editor_)
        CloseEditorKeepingFocus();
    editing_ = on;
    EditTriggers triggers = NoEditTriggers;
    if (on) {
        triggers = DoubleClicked | SelectedClicked | EditKeyPressed | AnyKeyPressed;
        if (alwaysShowEditor_)
            triggers |= CurrentChanged;
    }
    setEditTriggers(triggers);
    UpdateItemFlags();
}

void TStringGrid::SetAlwaysShowEditor(bool on)
{
    alwaysShowEditor_ = on;
    SetEditing(editing_);
}

void TStringGrid::SetRangeSelect(bool on)
{
    setSelectionMode(on ? QAbstractItemView::ContiguousSelection : QAbstractItemView::SingleSelection);
}

void TStringGrid::SetScrollBars(bool on)
{
    Qt::ScrollBarPolicy policy = on ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff;
    setHorizontalScrollBarPolicy(policy);
    setVerticalScrollBarPolicy(policy);
}

void TStringGrid::UpdateItemFlags()
{
    for (int r = 0; r < rowCount(); ++r)
        for (int c = 0; c < columnCount(); ++c) {
            // Fixed cells can be neither current nor edited (the delegate
            // paints them as headings).
            Qt::ItemFlags flags = Qt::NoItemFlags;
            if (!IsFixed(c, r)) {
                flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
                if (editing_)
                    flags |= Qt::ItemIsEditable;
            }
            item(r, c)->setFlags(flags);
        }
}

TCellEditor* TStringGrid::Editor() const { return editor_; }

bool TStringGrid::Accepts(const QString& text) const
{
    if (!OnKeyPress)
        return true;
    for (QChar c : text) {
        QChar key = c;
        OnKeyPress(key);
        if (key.isNull())
            return false;
    }
    return true;
}

void TStringGrid::EditorCreated(TCellEditor* editor)
{
    editor_ = editor;
    editor->installEventFilter(this);
    connect(editor, &QLineEdit::textEdited, this, [this, editor] { EditorEdited(editor); });
    connect(editor, &QObject::destroyed, this, [this, editor] {
        if (editor_ == editor)
            editor_ = nullptr;
    });
}

void TStringGrid::closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint)
{
    // The view deletes a closed editor later; from now on it is not the
    // grid's editor and its text no longer reaches a cell.
    if (editor == editor_) {
        editor_->disconnect(this);
        editor_ = nullptr;
    }
    KeepingSelection([&] { QTableWidget::closeEditor(editor, hint); });
    // Enter confirms the cell: the same as a click on it, so its check runs
    // now and not only once the operator leaves the cell.
    if (hint == QAbstractItemDelegate::SubmitModelCache && OnClick)
        OnClick();
}

void TStringGrid::EditorEdited(TCellEditor* editor)
{
    if (writing_ || editor != editor_)
        return;
    writing_ = true;
    SetCell(editor->Col(), editor->Row(), editor->text());
    writing_ = false;
    if (OnSetEditText)
        OnSetEditText(editor->Col(), editor->Row());
}

bool TStringGrid::FilterKey(QKeyEvent* event)
{
    if (!OnKeyPress || event->text().isEmpty())
        return false;
    // Navigation and the editing commands are not characters, though X11
    // gives Delete the text DEL; what a paste brings is judged by the
    // editor's insert filter.
    if (event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab || event->key() == Qt::Key_Delete)
        return false;
    for (auto command : {QKeySequence::Paste, QKeySequence::Copy, QKeySequence::Cut, QKeySequence::SelectAll,
                         QKeySequence::Undo, QKeySequence::Redo})
        if (event->matches(command))
            return false;
    for (QChar c : event->text()) {
        QChar key = c;
        OnKeyPress(key);
        if (key.isNull())
            return true;
    }
    return false;
}

bool TStringGrid::LeaveOnCtrlTab(QKeyEvent* event)
{
    if (!(event->modifiers() & Qt::ControlModifier) ||
        (event->key() != Qt::Key_Tab && event->key() != Qt::Key_Backtab))
        return false;
    const bool forward = event->key() == Qt::Key_Tab && !(event->modifiers() & Qt::ShiftModifier);
    // The focus chain from the grid itself: its editor is no stop.
    QWidget* w = this;
    do {
        w = forward ? w->nextInFocusChain() : w->previousInFocusChain();
    } while (w != this && (isAncestorOf(w) || !w->isVisible() || !w->isEnabled() || !(w->focusPolicy() & Qt::TabFocus) ||
                           w->window() != window()));
    if (w != this)
        w->setFocus(forward ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    event->accept();
    return true;
}

void TStringGrid::keyPressEvent(QKeyEvent* event)
{
    if (LeaveOnCtrlTab(event))
        return;
    if (FilterKey(event)) {
        event->accept();
        return;
    }
    // The view may open the editor and hand it this very event.
    filteredKey_ = event;
    KeepingSelection([&] { QTableWidget::keyPressEvent(event); });
    filteredKey_ = nullptr;
}

void TStringGrid::focusInEvent(QFocusEvent* event)
{
    QTableWidget::focusInEvent(event);
    if (alwaysShowEditor_ && editing_ && currentIndex().isValid() && state() != EditingState)
        edit(currentIndex());
}

void TStringGrid::mousePressEvent(QMouseEvent* event)
{
    // A click on the cell that is already current moves nothing, yet is a
    // click all the same: OnClick runs when the button is released on it.
    const QModelIndex before = currentIndex();
    KeepingSelection([&] { QTableWidget::mousePressEvent(event); });
    const QModelIndex hit = indexAt(event->position().toPoint());
    const bool onCurrent = event->button() == Qt::LeftButton && hit.isValid() && hit == before &&
                           hit == currentIndex() && (hit.flags() & Qt::ItemIsEnabled);
    clickCell_ = onCurrent ? QPersistentModelIndex(hit) : QPersistentModelIndex();
}

void TStringGrid::mouseReleaseEvent(QMouseEvent* event)
{
    const QPersistentModelIndex cell = clickCell_;
    clickCell_ = QPersistentModelIndex();
    QTableWidget::mouseReleaseEvent(event);
    if (cell.isValid() && event->button() == Qt::LeftButton && indexAt(event->position().toPoint()) == cell &&
        OnClick)
        OnClick();
}

bool TStringGrid::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == editor_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (LeaveOnCtrlTab(key))
            return true;
        if (key != filteredKey_ && FilterKey(key))
            return true;
    }
    return QTableWidget::eventFilter(watched, event);
}

}  // namespace tarnell
