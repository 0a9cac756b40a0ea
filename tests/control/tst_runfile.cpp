// Run files recorded by the real window from the board emulator on
// 127.0.0.1: naming, the directory and replace questions, roll-over at the
// size limit, refusals and write failures, and a stream that ends while a
// roll-over question is open.
#include "boardemulator.h"
#include "filesizecap.h"
#include "mainwindow.h"
#include "qtcpthread.h"
#include "testsupport.h"
#include "ui_mainwindow.h"
#include "windowrig.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <functional>

struct MainWindowAccess {
    static Ui_MainWindow *ui(MainWindow &w) { return w.ui; }
    static QTcpThread *stream(MainWindow &w) { return w.tcpThread; }
    static QFile *runFile(MainWindow &w) { return w.runFile; }
    static void setLimit(MainWindow &w, qint64 bytes) { w.fileSizeLimit = bytes; }
};

namespace {

using A = MainWindowAccess;

constexpr int Block = 32772;

QString today()
{
    return QDate::currentDate().toString(QStringLiteral("yyyyMMdd"));
}

QByteArray readFile(const QString &name)
{
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QByteArray joined(const QList<QByteArray> &blocks, int from, int count)
{
    return blocks.mid(from, count).join();
}

// The window after Read against the emulator, on the Operation tab, set to
// record into a temporary directory.
struct Rig {
    explicit Rig(int limitMiB = 1024) : w(false, limitMiB)
    {
        QObject::connect(&w, &MainWindow::newData, &w, [this](QByteArray *d, int) { events << *d; });
    }

    bool open()
    {
        if (!dir.isValid() || !emu.start() || !readBoard(w, emu))
            return false;
        Ui_MainWindow *ui = A::ui(w);
        ui->tabWidget->setCurrentIndex(1);
        ui->save->setChecked(true);
        ui->path->setText(dir.path());
        return true;
    }

    void answer(QMessageBox::StandardButton button)
    {
        answerer.answer(button);
    }
    void answerWith(std::function<void(QWidget *)> f)
    {
        answerer.answerWith(std::move(f));
    }

    Ui_MainWindow *ui() { return A::ui(w); }
    bool stopped()
    {
        return !A::stream(w) && w.statusBar()->currentMessage() == QLatin1String(" stopped");
    }
    QString runDir(const QString &number) const
    {
        return dir.filePath(QStringLiteral("DAT%1_%2").arg(number, today()));
    }
    QString file(const QString &number, int index) const
    {
        return runDir(number) + QStringLiteral("/DAT%1_%2.bin").arg(number).arg(index, 3, 10, QLatin1Char('0'));
    }

    QTemporaryDir dir;
    BoardEmulator emu;
    MainWindow w;
    ModalAnswerer answerer;
    QList<QByteArray> events;
};

void checkWarning(const BoxRecord &box, const QString &title, const QString &text)
{
    QCOMPARE(box.title, title);
    QCOMPARE(box.text, text);
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
}

void checkReplaceQuestion(const BoxRecord &box, const QString &name)
{
    QCOMPARE(box.title, QString());
    QCOMPARE(box.text, name + QStringLiteral(" already exists.\nDo you want to replace it?"));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(box.defaultButton, QMessageBox::No);
}

// Nothing of a refused start is locked or running.
bool usable(Rig &r)
{
    return !A::stream(r.w) && !A::runFile(r.w) && r.ui()->start->isEnabled()
        && r.ui()->single->isEnabled() && r.ui()->tabWidget->isTabEnabled(0);
}

} // namespace

class TestRunFile : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { installFailOnWarnings(); }

    // A saved Single in "data" under the working directory: the directory
    // question, one file with the one block, the run number advanced.
    void savedSingle()
    {
        Rig r;
        QVERIFY(r.open());
        const QString saved = QDir::currentPath();
        QVERIFY(QDir::setCurrent(r.dir.path()));
        r.ui()->path->setText(QStringLiteral("data"));
        r.ui()->nRun->setText(QStringLiteral("0"));
        r.answer(QMessageBox::Ok);
        r.ui()->single->click();
        QDir::setCurrent(saved);
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 10000);

        QCOMPARE(r.answerer.count(), 1);
        const BoxRecord q = r.answerer.last();
        QCOMPARE(q.title, QString());
        QCOMPARE(q.text, r.dir.filePath(QStringLiteral("data"))
                     + QStringLiteral(": The named directory does not exist, create it?"));
        QCOMPARE(q.icon, QMessageBox::Warning);
        QCOMPARE(q.buttons, QMessageBox::Ok | QMessageBox::Cancel);
        QCOMPARE(q.defaultButton, QMessageBox::Cancel);

        const QString run = r.dir.filePath(QStringLiteral("data/DAT000000_%1").arg(today()));
        QCOMPARE(QDir(run).entryList(QDir::Files), QStringList{QStringLiteral("DAT000000_000.bin")});
        QCOMPARE(r.events.size(), 1);
        QCOMPARE(readFile(run + QStringLiteral("/DAT000000_000.bin")), r.emu.sentBlocks().value(0));
        QCOMPARE(r.events.at(0), r.emu.sentBlocks().value(0));
        QCOMPARE(r.ui()->nRun->text(), QStringLiteral("1"));
        QVERIFY(!A::runFile(r.w));
    }

    // Run numbers in decimal, hexadecimal and octal; more than six digits in full.
    void runNaming()
    {
        Rig r;
        QVERIFY(r.open());
        // Refused streams end at once: each start is a run with one empty file.
        r.emu.setFault(BoardEmulator::RefuseStream);
        const QList<QStringList> cases = {
            {"0x10", "000016", "17"},
            {"010", "000008", "9"},
            {"1234567", "1234567", "1234568"},
        };
        for (const QStringList &c : cases) {
            r.ui()->nRun->setText(c.at(0));
            r.answer(QMessageBox::Ok);
            r.ui()->start->click();
            QVERIFY2(QFile::exists(r.file(c.at(1), 0)), qPrintable(r.file(c.at(1), 0)));
            QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 5000);
            QCOMPARE(r.ui()->nRun->text(), c.at(2));
            QCOMPARE(QFileInfo(r.file(c.at(1), 0)).size(), 0);
        }
        QCOMPARE(QDir(r.dir.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 3);
    }

    void refusals()
    {
        Rig r;
        QVERIFY(r.open());
        const QStringList invalid = {"abc", "", "-1", "12x", "0x", "08", "0b1",
                                     "18446744073709551616"};
        for (const QString &text : invalid) {
            r.ui()->nRun->setText(text);
            r.answer(QMessageBox::Ok);
            r.ui()->start->click();
            checkWarning(r.answerer.last(), QString(), QStringLiteral("Invalid Run Number: ") + text);
            QVERIFY(usable(r));
        }
        r.ui()->nRun->setText(QStringLiteral("5"));

        // Directory question declined: nothing is made.
        const QString missing = r.dir.filePath(QStringLiteral("missing/deeper"));
        r.ui()->path->setText(missing);
        r.answer(QMessageBox::Cancel);
        r.ui()->start->click();
        QCOMPARE(r.answerer.last().text, missing + QStringLiteral(": The named directory does not exist, create it?"));
        QVERIFY(!QFileInfo::exists(r.dir.filePath(QStringLiteral("missing"))));
        QVERIFY(usable(r));

        // The directory cannot be made (a file stands in its way).
        QFile blocker(r.dir.filePath(QStringLiteral("afile")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const QString below = r.dir.filePath(QStringLiteral("afile/sub"));
        r.ui()->path->setText(below);
        r.answer(QMessageBox::Ok);
        r.answer(QMessageBox::Ok);
        r.ui()->start->click();
        checkWarning(r.answerer.last(), QStringLiteral("QDir::mkpath()"), below + QStringLiteral(": cannot create"));
        QVERIFY(usable(r));

        // An existing run directory is never reused.
        r.ui()->path->setText(r.dir.path());
        QVERIFY(QDir().mkpath(r.runDir(QStringLiteral("000005"))));
        r.answer(QMessageBox::Ok);
        r.ui()->start->click();
        checkWarning(r.answerer.last(), QString(),
                     r.runDir(QStringLiteral("000005"))
                         + QStringLiteral(" already exists.\nPlease retry with another Run Number."));
        QVERIFY(usable(r));
        QVERIFY(QDir(r.runDir(QStringLiteral("000005"))).isEmpty());

        // A directory nobody may write into.
        r.ui()->path->setText(QStringLiteral("/proc"));
        r.answer(QMessageBox::Ok);
        r.ui()->start->click();
        checkWarning(r.answerer.last(), QStringLiteral("QDir::mkpath()"),
                     QStringLiteral("/proc/DAT000005_%1: cannot create").arg(today()));
        QVERIFY(usable(r));
        QCOMPARE(r.ui()->nRun->text(), QStringLiteral("5"));
        QCOMPARE(r.answerer.unexpected(), 0);
        QCOMPARE(r.emu.blocksSent(), qint64(0));
    }

    // 1 MiB limit: 31 blocks per file, every block once, in order.
    void rollOver()
    {
        Rig r(1);
        QVERIFY(r.open());
        r.emu.setFault(BoardEmulator::CloseMidBlock, 70);
        r.answer(QMessageBox::Ok); // the stream's end
        r.ui()->start->click();
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 15000);

        QCOMPARE(r.events.size(), 70);
        const QList<QByteArray> sent = r.emu.sentBlocks();
        // The whole stream: 70 blocks, then the one cut off in its middle.
        QCOMPARE(sent.size(), 71);
        QCOMPARE(r.events, sent.mid(0, 70));
        QCOMPARE(QDir(r.runDir("000000")).entryList(QDir::Files).size(), 3);
        QCOMPARE(QFileInfo(r.file("000000", 0)).size(), qint64(31) * Block);
        QCOMPARE(QFileInfo(r.file("000000", 0)).size(), qint64(1015932));
        QVERIFY(readFile(r.file("000000", 0)) == joined(sent, 0, 31));
        QVERIFY(readFile(r.file("000000", 1)) == joined(sent, 31, 31));
        QVERIFY(readFile(r.file("000000", 2)) == joined(sent, 62, 8));
        QCOMPARE(r.ui()->nRun->text(), QStringLiteral("1"));
    }

    // A file at exactly the limit minus one block takes one more; one byte
    // less room makes that block roll over.
    void rollOverBoundary_data()
    {
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<QList<int>>("perFile");
        QTest::newRow("limit of three blocks") << qint64(3) * Block << QList<int>{3, 3, 1};
        QTest::newRow("one byte short") << qint64(3) * Block - 1 << QList<int>{2, 2, 2, 1};
    }

    void rollOverBoundary()
    {
        QFETCH(qint64, limit);
        QFETCH(QList<int>, perFile);
        Rig r;
        QVERIFY(r.open());
        A::setLimit(r.w, limit);
        r.emu.setFault(BoardEmulator::CloseMidBlock, 7);
        r.answer(QMessageBox::Ok); // the stream's end
        r.ui()->start->click();
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 15000);

        QCOMPARE(r.events.size(), 7);
        const QList<QByteArray> sent = r.emu.sentBlocks();
        QCOMPARE(QDir(r.runDir("000000")).entryList(QDir::Files).size(), perFile.size());
        int first = 0;
        for (int i = 0; i < perFile.size(); ++i) {
            QVERIFY(QFileInfo(r.file("000000", i)).size() <= limit);
            QVERIFY2(readFile(r.file("000000", i)) == joined(sent, first, perFile.at(i)),
                     qPrintable(QStringLiteral("file %1").arg(i)));
            first += perFile.at(i);
        }
    }

    // The next file exists: No drops that block and asks again with the
    // next one; Yes replaces the file.
    void replaceQuestion()
    {
        Rig r(1);
        QVERIFY(r.open());
        r.emu.setFault(BoardEmulator::CloseMidBlock, 34);
        r.answer(QMessageBox::No);
        r.answer(QMessageBox::Yes);
        r.answer(QMessageBox::Ok); // the stream's end
        r.ui()->start->click();
        // The run directory stands as soon as Start returns; blocks follow later.
        QFile old(r.file("000000", 1));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("left over from an earlier run");
        old.close();
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 15000);

        QCOMPARE(r.answerer.count(), 3);
        checkReplaceQuestion(r.answerer.boxes().at(0), r.file("000000", 1));
        checkReplaceQuestion(r.answerer.boxes().at(1), r.file("000000", 1));
        const QList<QByteArray> sent = r.emu.sentBlocks();
        // Block 31 was declined: not recorded, not handed on.
        QCOMPARE(r.events.size(), 33);
        QCOMPARE(r.events.mid(0, 31), sent.mid(0, 31));
        QCOMPARE(r.events.mid(31), sent.mid(32, 2));
        QVERIFY(readFile(r.file("000000", 0)) == joined(sent, 0, 31));
        QVERIFY(readFile(r.file("000000", 1)) == joined(sent, 32, 2));
        QCOMPARE(r.ui()->nRun->text(), QStringLiteral("1"));
    }

    // The stream ends while the roll-over question is open: the file is
    // neither closed under the question nor left open afterwards.
    void streamEndsDuringQuestion()
    {
        Rig r(1);
        QVERIFY(r.open());
        bool heldOpen = false;
        r.answerWith([&](QWidget *w) {
            QTcpThread *t = A::stream(r.w);
            if (t) {
                t->abort();
                const bool finished = QTest::qWaitFor([&] { return t->isFinished(); }, 10000);
                QTest::qWait(100); // the queued end reaches the window now
                heldOpen = finished && A::runFile(r.w) && A::stream(r.w) == t;
            }
            static_cast<QMessageBox *>(w)->button(QMessageBox::Yes)->click();
        });
        r.ui()->start->click();
        QFile old(r.file("000000", 1));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.close();
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 15000);

        QVERIFY(heldOpen);
        QCOMPARE(r.answerer.count(), 1);
        QVERIFY(!A::runFile(r.w));
        QCOMPARE(r.ui()->nRun->text(), QStringLiteral("1"));
        // Everything handed on is recorded, in order, after the 31 of file 000.
        const QList<QByteArray> sent = r.emu.sentBlocks();
        QVERIFY(r.events.size() >= 32);
        QCOMPARE(r.events, sent.mid(0, r.events.size()));
        QVERIFY(readFile(r.file("000000", 0)) == joined(sent, 0, 31));
        QVERIFY(readFile(r.file("000000", 1)) == joined(sent, 31, r.events.size() - 31));
    }

    // A write that fails warns once and ends recording; the acquisition goes on.
    void failedWrite()
    {
        if (!QFileInfo(QStringLiteral("/dev/full")).exists())
            QSKIP("no /dev/full");
        Rig r(1);
        QVERIFY(r.open());
        r.emu.setFault(BoardEmulator::CloseMidBlock, 40);
        r.answer(QMessageBox::Yes);
        r.answer(QMessageBox::Ok);
        r.answer(QMessageBox::Ok);
        r.ui()->start->click();
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), r.file("000000", 1)));
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 15000);

        QCOMPARE(r.answerer.count(), 3);
        checkWarning(r.answerer.boxes().at(1), QCoreApplication::applicationName(),
                     QStringLiteral("Cannot write %1: No space left on device.\nRecording has stopped for this run.")
                         .arg(r.file("000000", 1)));
        QCOMPARE(r.events.size(), 40);
        QVERIFY(readFile(r.file("000000", 0)) == joined(r.emu.sentBlocks(), 0, 31));
        // Recording ended early: the run number stays, its directory is kept.
        QCOMPARE(r.ui()->nRun->text(), QStringLiteral("0"));
    }

    // A write cut short (file size cap): the file keeps whole blocks only and
    // the box tells why.
    void shortWriteKeepsWholeBlocks()
    {
        Rig r;
        QVERIFY(r.open());
        r.emu.setFault(BoardEmulator::CloseMidBlock, 5);
        r.answer(QMessageBox::Ok); // the write failure
        r.answer(QMessageBox::Ok); // the stream's end
        {
            FileSizeCap cap(2 * Block + 1000);
            QVERIFY(cap.ok);
            r.ui()->start->click();
            QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 15000);
        }
        QCOMPARE(r.answerer.count(), 2);
        checkWarning(r.answerer.boxes().at(0), QCoreApplication::applicationName(),
                     QStringLiteral("Cannot write %1: File too large.\nRecording has stopped for this run.")
                         .arg(r.file("000000", 0)));
        QCOMPARE(r.events.size(), 5);
        QCOMPARE(r.events, r.emu.sentBlocks().mid(0, 5));
        QVERIFY(readFile(r.file("000000", 0)) == joined(r.emu.sentBlocks(), 0, 2));
        QCOMPARE(r.ui()->nRun->text(), QStringLiteral("0"));
    }

    // The next file cannot be opened: the warning, recording ends, the run
    // number stays and the next start with it is refused.
    void failedRollOverOpen()
    {
        Rig r(1);
        QVERIFY(r.open());
        r.emu.setFault(BoardEmulator::CloseMidBlock, 35);
        r.answer(QMessageBox::Yes);
        r.answer(QMessageBox::Ok);
        r.answer(QMessageBox::Ok);
        r.ui()->start->click();
        QVERIFY(QDir().mkpath(r.file("000000", 1)));
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 15000);

        QCOMPARE(r.answerer.count(), 3);
        checkWarning(r.answerer.boxes().at(1), QCoreApplication::applicationName(),
                     QStringLiteral("Cannot open file for saving: Is a directory."));
        QCOMPARE(r.events.size(), 35);
        QVERIFY(readFile(r.file("000000", 0)) == joined(r.emu.sentBlocks(), 0, 31));
        QCOMPARE(r.ui()->nRun->text(), QStringLiteral("0"));

        r.answer(QMessageBox::Ok);
        r.ui()->start->click();
        QCOMPARE(r.answerer.last().text, r.runDir("000000") + QStringLiteral(" already exists.\nPlease retry with another Run Number."));
        QVERIFY(usable(r));
    }
};

QTEST_MAIN(TestRunFile)
#include "tst_runfile.moc"
