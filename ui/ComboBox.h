// A combo box with an edit field whose item list is kept sorted: an item
// added later lands in its sorted place (case-insensitive order, as the
// built-in command lists are sorted).
#pragma once

#include <QComboBox>

namespace tarnell {

class TComboBox final : public QComboBox {
    Q_OBJECT
public:
    explicit TComboBox(QWidget* parent = nullptr);

    // Inserts text at its sorted place (after items that compare equal);
    // returns its index. The edit field keeps its text.
    int AddSorted(const QString& text);
    // Whether an item equals text exactly (case-sensitive).
    bool HasItem(const QString& text) const;

signals:
    // Enter or Return in the edit field (not in the open list); the key goes
    // no further.
    void enterPressed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace tarnell
