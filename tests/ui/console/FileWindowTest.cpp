// The parameter file from the window: Store, Open and Delete with the file
// dialogs answered in advance.
#include "ConsoleFixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/stat.h>

using namespace tarnell;
using namespace tarnell::test;

namespace {

QByteArray Slurp(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void Put(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

// Storage grid cells (c, r) = r * 100 + c * 10, reference cells 81 and 82.
void FillGrids(TForm1& f)
{
    for (int r = 1; r <= 7; ++r)
        for (int c = 1; c <= 3; ++c)
            f.StringGrid1->SetCell(c, r, QString::number(r * 100 + c * 10));
    f.StringGrid2->SetCell(1, 1, "81");
    f.StringGrid2->SetCell(2, 1, "82");
}

QStringList Cells(const TStringGrid& g)
{
    QStringList cells;
    for (int r = 1; r < g.RowCount(); ++r)
        for (int c = 1; c < g.ColCount(); ++c)
            cells << g.Cell(c, r);
    return cells;
}

}  // namespace

class FileWindowTest : public QObject {
    Q_OBJECT
private slots:
    void storeWritesTheCellsLineByLine()
    {
        QTemporaryDir dir;
        TWindow w;
        // All empty: 23 times CR LF; a name without extension gets ".gri".
        w.dialogs.AnswerFile(dir.filePath("empty"));
        QTest::mouseClick(w.form.bSave, Qt::LeftButton);
        QCOMPARE(w.dialogs.Shown().size(), size_t{1});
        QCOMPARE(w.dialogs.Shown()[0].kind, TScriptedDialogs::TKind::Save);
        QCOMPARE(w.dialogs.Shown()[0].text, QStringLiteral("*.gri"));
        QCOMPARE(Slurp(dir.filePath("empty.gri")), QByteArray("\r\n").repeated(23));
        QCOMPARE(Slurp(dir.filePath("empty.gri")).size(), 46);

        w.form.StringGrid1->SetCell(1, 1, "250");
        w.form.StringGrid1->SetCell(2, 1, "30");
        w.form.StringGrid1->SetCell(3, 1, "10");
        w.form.StringGrid1->SetCell(2, 7, "7");
        w.form.StringGrid2->SetCell(1, 1, "100");
        w.form.StringGrid2->SetCell(2, 1, "200");
        w.dialogs.AnswerFile(dir.filePath("empty.gri"));  // replaced without a question
        QTest::mouseClick(w.form.bSave, Qt::LeftButton);
        QCOMPARE(Slurp(dir.filePath("empty.gri")),
                 QByteArray("250\r\n30\r\n10\r\n"
                            "\r\n\r\n\r\n" "\r\n\r\n\r\n" "\r\n\r\n\r\n" "\r\n\r\n\r\n" "\r\n\r\n\r\n"
                            "\r\n7\r\n\r\n"
                            "100\r\n200\r\n"));
        QVERIFY(w.dialogs.Messages().isEmpty());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"empty.gri"});
    }

    void storeDeleteOpenRestoresTheStorageGrid()
    {
        QTemporaryDir dir;
        TWindow w;
        TForm1& f = w.form;
        FillGrids(f);
        f.StringGrid1->SetCell(2, 4, "900");  // out of range: stored and loaded as it is
        const QStringList storage = Cells(*f.StringGrid1);
        w.dialogs.AnswerFile(dir.filePath("round.gri"));
        QTest::mouseClick(f.bSave, Qt::LeftButton);

        QTest::mouseClick(f.bClearStringGrid, Qt::LeftButton);
        QCOMPARE(Cells(*f.StringGrid1), QStringList(21, QString()));
        QCOMPARE(Cells(*f.StringGrid2), QStringList({"81", "82"}));  // Delete leaves it
        QCOMPARE(f.StringGrid1->Cell(0, 3), QStringLiteral("3"));

        f.StringGrid2->SetCell(1, 1, QString());
        w.dialogs.AnswerFile(dir.filePath("round.gri"));
        QTest::mouseClick(f.bOpen, Qt::LeftButton);
        QCOMPARE(w.dialogs.Shown().back().kind, TScriptedDialogs::TKind::Open);
        QCOMPARE(w.dialogs.Shown().back().text, QStringLiteral("*.gri"));
        QCOMPARE(Cells(*f.StringGrid1), storage);
        QCOMPARE(Cells(*f.StringGrid2), QStringList({"81", "82"}));
        QVERIFY(w.dialogs.Messages().isEmpty());
    }

    void cancelChangesNeitherGridsNorFiles()
    {
        QTemporaryDir dir;
        TWindow w;
        FillGrids(w.form);
        const QStringList before = Cells(*w.form.StringGrid1);
        w.dialogs.AnswerFile(std::nullopt);
        QTest::mouseClick(w.form.bSave, Qt::LeftButton);
        w.dialogs.AnswerFile(std::nullopt);
        QTest::mouseClick(w.form.bOpen, Qt::LeftButton);
        QCOMPARE(w.dialogs.Shown().size(), size_t{2});
        QCOMPARE(w.dialogs.PendingAnswers(), 0);
        QCOMPARE(Cells(*w.form.StringGrid1), before);
        QVERIFY(QDir(dir.path()).entryList(QDir::Files).isEmpty());
        QVERIFY(w.dialogs.Messages().isEmpty());
    }

    void linesEndAnywayAndLinesAfterThe23rdAreIgnored()
    {
        QTemporaryDir dir;
        TWindow w;
        QByteArray bytes;
        const char* ends[] = {"\r\n", "\n", "\r"};
        for (int i = 1; i <= 23; ++i)
            bytes += QByteArray::number(i) + ends[i % 3];
        bytes += "junk;that;is;never;read\r\n";
        Put(dir.filePath("mixed.gri"), bytes);
        w.dialogs.AnswerFile(dir.filePath("mixed.gri"));
        QTest::mouseClick(w.form.bOpen, Qt::LeftButton);
        QVERIFY(w.dialogs.Messages().isEmpty());
        QStringList expected;
        for (int i = 1; i <= 21; ++i)
            expected << QString::number(i);
        QCOMPARE(Cells(*w.form.StringGrid1), expected);
        QCOMPARE(Cells(*w.form.StringGrid2), QStringList({"22", "23"}));
    }

    void aFileWithAnythingButDigitsIsRefusedWhole()
    {
        QTemporaryDir dir;
        TWindow w;
        FillGrids(w.form);
        const QStringList storage = Cells(*w.form.StringGrid1);
        QByteArray bytes = QByteArray("1\r\n").repeated(4) + "12;3\r\n" + QByteArray("1\r\n").repeated(18);
        Put(dir.filePath("bad.gri"), bytes);
        w.dialogs.AnswerFile(dir.filePath("bad.gri"));
        QTest::mouseClick(w.form.bOpen, Qt::LeftButton);
        QCOMPARE(w.dialogs.Messages().size(), 1);
        const QString message = w.dialogs.Messages()[0];
        QVERIFY2(message.contains(dir.filePath("bad.gri")) && message.contains("line 5") && message.contains("12;3"),
                 qPrintable(message));
        QCOMPARE(Cells(*w.form.StringGrid1), storage);
        QCOMPARE(Cells(*w.form.StringGrid2), QStringList({"81", "82"}));

        // A blank or a sign is refused too: it would go into a command as well.
        w.dialogs.Clear();
        Put(dir.filePath("bad.gri"), QByteArray("1\r\n").repeated(22) + " 5\r\n");
        w.dialogs.AnswerFile(dir.filePath("bad.gri"));
        QTest::mouseClick(w.form.bOpen, Qt::LeftButton);
        QVERIFY(w.dialogs.Messages().value(0).contains("line 23"));
        QCOMPARE(Cells(*w.form.StringGrid2), QStringList({"81", "82"}));

        // The message names the file as it is, placeholders in its name too.
        w.dialogs.Clear();
        Put(dir.filePath("50%2 %3.gri"), "x\r\n");
        w.dialogs.AnswerFile(dir.filePath("50%2 %3.gri"));
        QTest::mouseClick(w.form.bOpen, Qt::LeftButton);
        QVERIFY2(w.dialogs.Messages().value(0).contains(dir.filePath("50%2 %3.gri")),
                 qPrintable(w.dialogs.Messages().value(0)));
    }

    void aShortOrUnreadableFileChangesNoCell()
    {
        QTemporaryDir dir;
        TWindow w;
        FillGrids(w.form);
        const QStringList storage = Cells(*w.form.StringGrid1);
        const QStringList reference = Cells(*w.form.StringGrid2);
        auto open = [&](const QString& path) {
            w.dialogs.Clear();
            w.dialogs.AnswerFile(path);
            QTest::mouseClick(w.form.bOpen, Qt::LeftButton);
            QCOMPARE(Cells(*w.form.StringGrid1), storage);
            QCOMPARE(Cells(*w.form.StringGrid2), reference);
            QCOMPARE(w.dialogs.Messages().size(), 1);
        };

        // Short files: the message names the first missing index, as before,
        // but the grids keep the whole previous set.
        Put(dir.filePath("short21.gri"), QByteArray("5\r\n").repeated(21));
        open(dir.filePath("short21.gri"));
        QCOMPARE(w.dialogs.Messages()[0], QString::fromUtf8("Listenindex überschreitet das Maximum (21)"));
        Put(dir.filePath("short5.gri"), "1\r\n\r\n3\r\n4\r\n5");  // the last line without an end
        open(dir.filePath("short5.gri"));
        QCOMPARE(w.dialogs.Messages()[0], QString::fromUtf8("Listenindex überschreitet das Maximum (5)"));

        // Larger than any parameter file, a device that never ends, a folder
        // and a FIFO nobody writes to: refused before a byte is read, and the
        // FIFO does not hold the window.
        Put(dir.filePath("huge.gri"), QByteArray("1\r\n").repeated((1 << 20) / 3 + 1));
        QVERIFY(QFileInfo(dir.filePath("huge.gri")).size() > (1 << 20));
        open(dir.filePath("huge.gri"));
        open(QStringLiteral("/dev/zero"));
        open(dir.path());
        const QByteArray fifo = QFile::encodeName(dir.filePath("fifo.gri"));
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        open(dir.filePath("fifo.gri"));
        for (const QString& m : w.dialogs.Messages())
            QVERIFY2(m.contains(dir.filePath("fifo.gri")), qPrintable(m));
    }
};

TARNELL_CONSOLE_TEST_MAIN(FileWindowTest)
#include "FileWindowTest.moc"
