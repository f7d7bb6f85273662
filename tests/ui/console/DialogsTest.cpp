// The real dialogs behind the seam, driven by a timer from inside their own
// event loop: the file dialogs' pattern, default extension, replacing without
// a question and cancel; the message box's text.
#include "ConsoleFixture.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QTimer>

#include <functional>

using namespace tarnell;

namespace {

// Runs act on the modal dialog of type T as soon as it is open. A dialog that
// act leaves open is rejected 5 s later, so that a fault fails the test
// instead of hanging it.
template <class T>
void WhenOpen(std::function<void(T*)> act, bool* done)
{
    auto* timer = new QTimer(QCoreApplication::instance());  // gone at the latest with the application
    auto since = std::make_shared<QElapsedTimer>();
    auto acted = std::make_shared<QPointer<T>>();
    auto actedOnce = std::make_shared<bool>(false);
    since->start();
    QObject::connect(timer, &QTimer::timeout, [timer, act, done, since, acted, actedOnce] {
        auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
        if (*actedOnce) {
            if (!acted->isNull() && dialog == acted->data() && since->elapsed() > 5000)
                dialog->reject();
            else if (acted->isNull() || dialog != acted->data())
                timer->deleteLater();
            return;
        }
        if (dialog) {
            *done = true;
            *actedOnce = true;
            *acted = dialog;
            since->restart();
            act(dialog);
        } else if (since->elapsed() > 5000) {
            timer->deleteLater();
        }
    });
    timer->start(20);
}

// Types a name into the file dialog's name field, as the operator does.
void Type(QFileDialog* d, const QString& name)
{
    auto* edit = d->findChild<QLineEdit*>("fileNameEdit");
    QVERIFY(edit);
    edit->setText(name);
}

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT
private slots:
    void saveDialogListsThePatternAddsTheExtensionAndDoesNotAsk()
    {
        QTemporaryDir dir;
        QFile old(dir.filePath("old.gri"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.close();
        bool opened = false;
        QStringList filters;
        WhenOpen<QFileDialog>([&](QFileDialog* d) {
            filters = d->nameFilters();
            d->setDirectory(dir.path());
            Type(d, "typed");
            static_cast<QDialog*>(d)->accept();  // QFileDialog::accept, as the OK button
        }, &opened);
        std::optional<QString> name = Dialogs().SaveFileName(nullptr, "*.gri", "gri");
        QVERIFY(opened);
        QCOMPARE(filters, QStringList{"*.gri"});
        QCOMPARE(name.value_or("<cancelled>"), dir.filePath("typed.gri"));

        // An existing file is taken as it is, without a question.
        WhenOpen<QFileDialog>([&](QFileDialog* d) {
            d->setDirectory(dir.path());
            Type(d, "old.gri");
            static_cast<QDialog*>(d)->accept();  // QFileDialog::accept, as the OK button
        }, &opened);
        name = Dialogs().SaveFileName(nullptr, "*.gri", "gri");
        QCOMPARE(name.value_or("<cancelled>"), dir.filePath("old.gri"));
        QVERIFY(!QApplication::activeModalWidget());
    }

    void openDialogCancelReturnsNothing()
    {
        bool opened = false;
        QFileDialog::FileMode mode = QFileDialog::AnyFile;
        WhenOpen<QFileDialog>([&](QFileDialog* d) {
            mode = d->fileMode();
            d->reject();
        }, &opened);
        std::optional<QString> name = Dialogs().OpenFileName(nullptr, "*.gri", "gri");
        QVERIFY(opened);
        QCOMPARE(mode, QFileDialog::ExistingFile);
        QVERIFY(!name);
    }

    void messageBoxShowsTheTextUntilClosed()
    {
        bool opened = false;
        QString text;
        QString title;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        WhenOpen<QMessageBox>([&](QMessageBox* box) {
            text = box->text();
            title = box->windowTitle();
            icon = box->icon();
            box->accept();
        }, &opened);
        Dialogs().ShowMessage(nullptr, "Minimum Value is: 3", TMessageKind::Information);
        QVERIFY(opened);
        QCOMPARE(text, QStringLiteral("Minimum Value is: 3"));
        QCOMPARE(title, QStringLiteral("Tarnell Console"));  // not the executable's name

        WhenOpen<QMessageBox>([&](QMessageBox* box) {
            text = box->text();
            icon = box->icon();
            box->accept();
        }, &opened);
        Dialogs().ShowMessage(nullptr, "failed", TMessageKind::Error);
        QCOMPARE(text, QStringLiteral("failed"));
        QCOMPARE(icon, QMessageBox::Critical);
    }

    void defaultExtensionOnlyForANameWithoutOne()
    {
        QCOMPARE(WithDefaultExtension("/a/b/name", "gri"), QStringLiteral("/a/b/name.gri"));
        QCOMPARE(WithDefaultExtension("/a/b.d/name", "gri"), QStringLiteral("/a/b.d/name.gri"));
        QCOMPARE(WithDefaultExtension("/a/name.txt", "gri"), QStringLiteral("/a/name.txt"));
        QCOMPARE(WithDefaultExtension("", "gri"), QString());
    }
};

TARNELL_CONSOLE_TEST_MAIN(DialogsTest)
#include "DialogsTest.moc"
