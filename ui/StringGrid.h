// A grid of text cells with fixed (heading) rows and columns and an in-place
// editor, addressed as (column, row) with the fixed cells counted.
//
// The editor writes every change into its cell at once, so a cell always
// holds what the operator sees, and reports it through OnSetEditText. Typed
// characters go through OnKeyPress, which may cancel them; text that arrives
// any other way (paste, drop) is taken only if OnKeyPress lets every one of
// its characters pass, so the filter cannot be bypassed by the clipboard.
#pragma once

#include <QLineEdit>
#include <QTableWidget>

#include <functional>

namespace tarnell {

class TStringGrid;

// The grid's in-place editor.
class TCellEditor final : public QLineEdit {
    Q_OBJECT
public:
    TCellEditor(TStringGrid& grid, int col, int row, QWidget* parent);

    int Col() const { return col_; }
    int Row() const { return row_; }
    // Shows text without passing it through the filter (the cell's content).
    void SetTextUnfiltered(const QString& text);
    // The text before the change under validation.
    const QString& AcceptedText() const { return accepted_; }

private:
    TStringGrid& grid_;
    int col_;
    int row_;
    QString accepted_;
};

class TStringGrid final : public QTableWidget {
    Q_OBJECT
public:
    TStringGrid(int colCount, int rowCount, int fixedCols, int fixedRows, QWidget* parent = nullptr);
    ~TStringGrid() override;

    int ColCount() const { return columnCount(); }
    int RowCount() const { return rowCount(); }
    int FixedCols() const { return fixedCols_; }
    int FixedRows() const { return fixedRows_; }
    bool IsFixed(int col, int row) const { return col < fixedCols_ || row < fixedRows_; }

    // The text of a cell; empty outside the grid.
    QString Cell(int col, int row) const;
    // Sets a cell's text (and an open editor's on it); ignored outside the grid.
    void SetCell(int col, int row, const QString& text);

    void SetDefaultColWidth(int width);
    void SetColWidth(int col, int width) { setColumnWidth(col, width); }
    int ColWidth(int col) const { return columnWidth(col); }
    void SetRowHeight(int row, int height) { setRowHeight(row, height); }
    int RowHeight(int row) const { return rowHeight(row); }
    int ClientWidth() const;

    // Text measures in the grid's font.
    int TextWidth(const QString& text) const;
    int TextHeight(const QString& text) const;

    // The current cell.
    int Col() const { return currentColumn(); }
    int Row() const { return currentRow(); }
    // Moves the current cell as the operator would (runs OnClick).
    void MoveTo(int col, int row);
    // Makes one cell the selection and the current cell without OnClick. From
    // a handler that runs while the grid moves to a cell, it holds after the
    // move has been handled.
    void SetSelection(int col, int row);

    // Options. Editing off closes an open editor; its cell keeps the text.
    void SetEditing(bool on);
    void SetAlwaysShowEditor(bool on);
    void SetTabs(bool on) { setTabKeyNavigation(on); }
    void SetRangeSelect(bool on);
    void SetScrollBars(bool on);

    // The editor while it is shown, else nullptr.
    TCellEditor* Editor() const;

    // Runs when the operator clicks a cell, moves to another cell (by mouse
    // or key) or confirms the editor with Enter.
    std::function<void()> OnClick;
    // Runs when the focus leaves the grid for another control of its window.
    std::function<void()> OnExit;
    // Sees every typed character; setting it to 0 cancels it.
    std::function<void(QChar& key)> OnKeyPress;
    // Runs on every change the operator makes in the editor.
    std::function<void(int col, int row)> OnSetEditText;

    // Whether OnKeyPress lets every character of text pass.
    bool Accepts(const QString& text) const;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) override;

private:
    friend class TCellDelegate;
    void EditorCreated(TCellEditor* editor);
    void EditorEdited(TCellEditor* editor);
    // Runs the key filter on a key event; true if the event is to be dropped.
    bool FilterKey(QKeyEvent* event);
    // Tab walks the cells; Ctrl+Tab (Ctrl+Shift+Tab) leaves the grid for the
    // next (previous) control, as in every control that keeps Tab to itself.
    bool LeaveOnCtrlTab(QKeyEvent* event);
    void UpdateItemFlags();
    // Closes the open editor; a focus that was in it goes to the grid.
    void CloseEditorKeepingFocus();
    // Runs one of the view's own handlers; a cell that SetSelection chose
    // meanwhile is selected again afterwards, as the view selects the cell it
    // moved to once the handlers of the move have run.
    template <class F>
    void KeepingSelection(F viewHandler);

    int fixedCols_;
    int fixedRows_;
    bool editing_ = false;
    bool alwaysShowEditor_ = false;
    bool moving_ = false;        // SetSelection runs: no OnClick
    bool writing_ = false;       // the editor writes its cell
    QKeyEvent* filteredKey_ = nullptr;  // passed the filter already, on its way to the editor
    TCellEditor* editor_ = nullptr;
    QPersistentModelIndex clickCell_;  // pressed on the current cell, which stayed current
    int inViewHandler_ = 0;            // depth of KeepingSelection
    QPoint chosenCell_{-1, -1};        // set by SetSelection within it
};

}  // namespace tarnell
