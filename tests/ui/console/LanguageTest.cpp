// The window in the operator's language: every text of ours reaches the
// screen through the translator, every text fits its control in English and
// in German, and the language chosen in the menu is kept for the next start.
#include "BusPanel.h"
#include "ComboBox.h"
#include "ConsoleFixture.h"
#include "Language.h"
#include "OperatorSetup.h"
#include "PortChoice.h"
#include "PortStatusLine.h"
#include "PtyPort.h"
#include "SelectComDialog.h"
#include "StatusMonitor.h"

#include "port/ComPort.h"
#include "selection/PortSelection.h"

#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QRegularExpression>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTranslator>
#include <QTreeWidget>

#include <algorithm>
#include <memory>

using namespace tarnell;
using namespace tarnell::test;

namespace {

// Wraps every text it is asked for in markers: a text on the screen without
// them never went through the translator.
class TMarkingTranslator final : public QTranslator {
public:
    QString translate(const char*, const char* source, const char*, int) const override
    {
        return QStringLiteral("[[") + QString::fromUtf8(source) + QStringLiteral("]]");
    }
    bool isEmpty() const override { return false; }
};

// Everything a window shows of its own: captions, titles, headings,
// tooltips, hints, accessible names, the actions of its menus. Not what the
// operator or the gripper put there (cells, the output, the command line).
struct TShown {
    QWidget* widget;
    QString what;
    QString text;
};

QList<TShown> ShownTexts(QWidget& window)
{
    QList<TShown> shown;
    auto add = [&shown](QWidget* w, const char* what, const QString& text) {
        if (!text.isEmpty())
            shown.append({w, QString::fromLatin1(what), text});
    };
    QList<QWidget*> widgets = window.findChildren<QWidget*>();
    widgets.prepend(&window);
    for (QWidget* w : widgets) {
        if (w->isWindow())
            add(w, "title", w->windowTitle());
        add(w, "tooltip", w->toolTip());
        add(w, "hint", HintOf(w));
        add(w, "accessible name", w->accessibleName());
        if (auto* l = qobject_cast<QLabel*>(w))
            add(w, "label", l->text());
        if (auto* b = qobject_cast<QAbstractButton*>(w))
            add(w, "caption", b->text());
        if (auto* g = qobject_cast<QGroupBox*>(w))
            add(w, "group title", g->title());
        if (auto* s = qobject_cast<QSpinBox*>(w))
            add(w, "unit", s->suffix());
        if (auto* grid = qobject_cast<TStringGrid*>(w))
            for (int c = 0; grid->RowCount() > 1 && c < grid->ColCount(); ++c)
                add(w, "heading", grid->Cell(c, 0));
        if (auto* tree = qobject_cast<QTreeWidget*>(w))
            for (int c = 0; c < tree->columnCount(); ++c)
                add(w, "heading", tree->headerItem()->text(c));
        if (auto* menu = qobject_cast<QMenu*>(w)) {
            add(w, "menu", menu->title());
            for (QAction* a : menu->actions())
                add(w, "menu entry", a->text());
        }
        for (QAction* a : w->actions()) {
            add(w, "action", a->text());
            add(w, "action tip", a->toolTip());
        }
    }
    return shown;
}

// What is data, not a text of ours: numbers, key names, the function keys'
// commands, units, and each language's own name in the language menu.
bool IsData(const TShown& s)
{
    static const QRegularExpression data(
        QStringLiteral("^(?:[0-9 .,:;-]*|F[0-9]+|[A-Z]{3};0|&?Deutsch|&?English| ms)$"));
    return data.match(s.text).hasMatch();
}

QStringList Unmarked(QWidget& window)
{
    QStringList unmarked;
    for (const TShown& s : ShownTexts(window)) {
        if (IsData(s))
            continue;
        if (!s.text.contains(QStringLiteral("[[")))
            unmarked << QStringLiteral("%1 of %2 %3: \"%4\"")
                            .arg(s.what, QString::fromLatin1(s.widget->metaObject()->className()),
                                 s.widget->objectName(), s.text);
    }
    return unmarked;
}

// How wide the text of a control is, against the room it has there. Buttons,
// check boxes and radio buttons ask their style (margins, the box, the
// arrow of a menu button); labels and titles measure their text.
QStringList Overflowing(QWidget& window)
{
    QStringList over;
    auto report = [&over](QWidget* w, const QString& text, int needed, int room) {
        if (needed > room)
            over << QStringLiteral("%1 \"%2\": %3 px wide, room for %4")
                        .arg(QString::fromLatin1(w->metaObject()->className()), text)
                        .arg(needed)
                        .arg(room);
    };
    QList<QWidget*> widgets = window.findChildren<QWidget*>();
    for (QWidget* w : widgets) {
        if (!w->isVisible())
            continue;
        const QFontMetrics fm(w->font());
        const auto textWidth = [&fm](const QString& text) {
            return fm.horizontalAdvance(QString(text).remove(QLatin1Char('&')));
        };
        QStyleOptionButton option;
        option.initFrom(w);
        if (auto* c = qobject_cast<QCheckBox*>(w)) {
            report(w, c->text(), textWidth(c->text()),
                   w->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, w).width());
        } else if (auto* r = qobject_cast<QRadioButton*>(w)) {
            report(w, r->text(), textWidth(r->text()),
                   w->style()->subElementRect(QStyle::SE_RadioButtonContents, &option, w).width());
        } else if (auto* p = qobject_cast<QPushButton*>(w)) {
            report(w, p->text(), textWidth(p->text()),
                   w->style()->subElementRect(QStyle::SE_PushButtonContents, &option, w).width());
        } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            // Tool buttons: with the arrow of their menu, if any.
            if (!b->text().isEmpty())
                report(w, b->text(), b->sizeHint().width(), b->width());
        } else if (auto* l = qobject_cast<QLabel*>(w)) {
            if (!l->wordWrap() && !l->text().isEmpty())
                for (const QString& line : l->text().split(QLatin1Char('\n')))
                    report(w, line, textWidth(line),
                           l->contentsRect().width() - 2 * l->margin() - std::max(0, l->indent()));
        } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
            // The title sits in the frame, inset on both sides.
            report(w, g->title(), fm.horizontalAdvance(g->title()) + 2 * fm.averageCharWidth(), g->width());
        } else if (auto* grid = qobject_cast<TStringGrid*>(w)) {
            int columns = 0;
            for (int c = 0; c < grid->ColCount(); ++c) {
                columns += grid->ColWidth(c);
                if (grid->RowCount() > 1)
                    report(w, grid->Cell(c, 0), grid->TextWidth(grid->Cell(c, 0)), grid->ColWidth(c));
            }
            report(w, QStringLiteral("(all columns)"), columns, grid->viewport()->width());
        }
    }
    return over;
}

}  // namespace

class LanguageTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir config_;
    // The port dialog lists what is there: an empty folder of ports here.
    std::unique_ptr<sio::test::TPortDir> ports_;

private slots:
    void initTestCase()
    {
        QVERIFY(config_.isValid());
        ports_ = std::make_unique<sio::test::TPortDir>();
        TOperatorSetup::KeepIn(config_.filePath(QStringLiteral("console.ini")));
    }

    void cleanup() { InstallLanguage(TLanguage::English); }

    void everyTextOfOursGoesThroughTheTranslator()
    {
        TMarkingTranslator marking;
        QCoreApplication::installTranslator(&marking);
        struct TRemove {
            QTranslator* t;
            ~TRemove() { QCoreApplication::removeTranslator(t); }
        } remove{&marking};

        TWindow w;
        QVERIFY(w.Activate());
        w.form.Bus().show();
        w.form.Monitor().show();
        QVERIFY(QTest::qWaitForWindowExposed(&w.form.Monitor(), 5000));
        w.form.Monitor().SetPaused(true);

        for (QWidget* window : {static_cast<QWidget*>(&w.form), static_cast<QWidget*>(&w.form.Bus()),
                                static_cast<QWidget*>(&w.form.Monitor())}) {
            const QStringList unmarked = Unmarked(*window);
            QVERIFY2(unmarked.isEmpty(), qPrintable(unmarked.join(QLatin1Char('\n'))));
        }
        // The hint line: each control's hint as shown there.
        QVERIFY(HintOf(w.form.bOpen).startsWith(QStringLiteral("[[")));

        // The port dialog, with its captions from the serial layer.
        sio::TComSelectForm model;
        SelectComDialog dialog(model, w.form.PortChoice().Prompt(), &w.form);
        const QStringList unmarked = Unmarked(dialog);
        QVERIFY2(unmarked.isEmpty(), qPrintable(unmarked.join(QLatin1Char('\n'))));

        // What the console says in its messages.
        w.dialogs.Clear();
        w.form.ComDataPacketTimeout(nullptr);
        QCOMPARE(w.dialogs.Messages().size(), 1);
        QVERIFY2(w.dialogs.Messages().first().startsWith(QStringLiteral("[[")), qPrintable(w.dialogs.Messages().first()));
    }

    void everyTextFitsItsControlInEnglishAndInGerman_data()
    {
        QTest::addColumn<int>("language");
        QTest::newRow("English") << int(TLanguage::English);
        QTest::newRow("German") << int(TLanguage::German);
    }

    void everyTextFitsItsControlInEnglishAndInGerman()
    {
        QFETCH(int, language);
        InstallLanguage(TLanguage(language));
        TWindow w;
        QVERIFY(w.Activate());
        if (TLanguage(language) == TLanguage::German)
            QCOMPARE(w.form.bOpen->text(), QStringLiteral("Datei öffnen"));
        QStringList over = Overflowing(w.form);
        // The grids as the two other gripper types head them; the port line
        // with a port that is there.
        w.form.rgGripperType->SetItemIndex(1);
        over << Overflowing(w.form);
        // A device with a name as long as a network address: the line gives
        // up its middle, the tooltip names it whole.
        const QByteArray ports = qgetenv("SIO_PORT_DIR");
        qputenv("SIO_PORT_DIR", ports + "/a-folder-of-ports-named-as-long-as-a-network-address-may-be");
        w.form.ComPort->SetComNumber(3);
        w.form.PortStatus->Refresh();
        over << Overflowing(w.form);
        QVERIFY(w.form.PortStatus->findChild<QLabel*>()->toolTip().contains(QStringLiteral("-may-be/COM3")));
        w.form.ComPort->SetComNumber(0);
        qputenv("SIO_PORT_DIR", ports);
        w.form.Bus().show();
        w.form.Monitor().show();
        QVERIFY(QTest::qWaitForWindowExposed(&w.form.Monitor(), 5000));
        w.form.Monitor().SetPaused(true);
        over << Overflowing(w.form.Bus()) << Overflowing(w.form.Monitor());

        sio::TComSelectForm model;
        for (TPortPrompt prompt : {TPortPrompt{}, w.form.PortChoice().Prompt()}) {
            SelectComDialog dialog(model, prompt, &w.form);
            dialog.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dialog, 5000));
            over << Overflowing(dialog);
        }
        QVERIFY2(over.isEmpty(), qPrintable(over.join(QLatin1Char('\n'))));
    }

    void theChosenLanguageIsKeptForTheNextStart()
    {
        {
            InstallLanguage(TLanguage::English);
            TWindow w;
            TOperatorSetup setup(w.form);
            setup.Load();
            setup.Watch();
            QCOMPARE(w.form.Language().Chosen(), TLanguage::English);
            QCOMPARE(w.form.bOpen->text(), QStringLiteral("Open File"));
            w.form.Language().Action(TLanguage::German).trigger();
            // Only the next start speaks German.
            QCOMPARE(w.form.bOpen->text(), QStringLiteral("Open File"));
            QVERIFY(setup.Save());
        }
        QCOMPARE(TOperatorSetup::KeptLanguage(), TLanguage::German);
        InstallLanguage(TOperatorSetup::KeptLanguage());
        TWindow w;
        TOperatorSetup setup(w.form);
        setup.Load();
        QVERIFY(w.form.Language().Action(TLanguage::German).isChecked());
        QCOMPARE(w.form.bOpen->text(), QStringLiteral("Datei öffnen"));
        QCOMPARE(w.form.rgParity->title(), QStringLiteral("Paritätsbit"));
        // Qt's own texts, for its dialogs' buttons.
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Abbrechen"));
        // What goes on the wire stays as it is.
        QCOMPARE(w.form.StringGrid3->Cell(1, 0), QStringLiteral("STA;0"));
        QCOMPARE(w.form.cbCommands->itemText(0), QStringLiteral("CMP;0;250"));

        w.form.Language().Action(TLanguage::System).trigger();
        QVERIFY(setup.Save());
        QCOMPARE(TOperatorSetup::KeptLanguage(), TLanguage::System);
    }
};

TARNELL_CONSOLE_TEST_MAIN(LanguageTest)
#include "LanguageTest.moc"
