// How an acquisition ends, through the real window against the board
// emulator on 127.0.0.1: Stop and Single keep every block the board sent
// (the run file holds the whole stream), a stream error or a window closed
// mid-run stops the board, worker texts survive a restart of the worker, and
// an unreachable register port shows its real cause.
#include "boardemulator.h"
#include "mainwindow.h"
#include "qtcpthread.h"
#include "qudpthread.h"
#include "testsupport.h"
#include "ui_mainwindow.h"
#include "windowrig.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <memory>

struct MainWindowAccess {
    static Ui_MainWindow *ui(MainWindow &w) { return w.ui; }
    static QTcpThread *stream(MainWindow &w) { return w.tcpThread; }
    static QUdpThread *worker(MainWindow &w) { return w.udpThread; }
    static QFile *runFile(MainWindow &w) { return w.runFile; }
    static bool running(MainWindow &w) { return w.running; }
};

namespace {

using A = MainWindowAccess;

// The window after Read, on the Operation tab, recording into a temporary directory.
struct Rig {
    explicit Rig(BoardEmulator::Options opts = BoardEmulator::Options(), int limitMiB = 1024)
        : emu(opts), w(std::make_unique<MainWindow>(false, limitMiB))
    {
    }

    bool open()
    {
        if (!emu.start() || !dir.isValid())
            return false;
        if (!readBoard(*w, emu))
            return false;
        ui()->tabWidget->setCurrentIndex(1);
        ui()->save->setChecked(true);
        ui()->path->setText(dir.path());
        ui()->nRun->setText(QStringLiteral("0"));
        return true;
    }

    Ui_MainWindow *ui() { return A::ui(*w); }
    bool stopped() { return !A::stream(*w) && w->statusBar()->currentMessage() == QLatin1String(" stopped"); }

    // The files of run n, in order.
    QStringList runFiles(int n)
    {
        const QStringList runs = QDir(dir.path()).entryList({QStringLiteral("DAT%1_*").arg(n, 6, 10, QLatin1Char('0'))},
                                                            QDir::Dirs | QDir::NoDotAndDotDot);
        if (runs.size() != 1)
            return QStringList();
        QDir runDir(dir.filePath(runs.at(0)));
        QStringList files;
        for (const QString &f : runDir.entryList(QDir::Files, QDir::Name))
            files << runDir.filePath(f);
        return files;
    }

    // Every byte recorded for run n, files in order.
    QByteArray run(int n)
    {
        QByteArray all;
        for (const QString &name : runFiles(n)) {
            QFile file(name);
            if (file.open(QIODevice::ReadOnly))
                all += file.readAll();
        }
        return all;
    }

    BoardEmulator emu;
    std::unique_ptr<MainWindow> w;
    QTemporaryDir dir;
    ModalAnswerer answerer;
};

QByteArray joined(const QList<QByteArray> &blocks)
{
    QByteArray all;
    for (const QByteArray &b : blocks)
        all += b;
    return all;
}

} // namespace

class TestStreamEnd : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { installFailOnWarnings(); }

    // Stop mid-run: the run file holds every block the board sent, up to
    // the last one it sent before the stop bit landed.
    void stopKeepsWholeStream_data()
    {
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("before");
        QTest::newRow("as fast as taken") << 0 << 200;
        QTest::newRow("1000 events/s") << 1000 << 100;
        QTest::newRow("100 events/s") << 100 << 10;
    }

    void stopKeepsWholeStream()
    {
        QFETCH(int, rate);
        QFETCH(int, before);
        BoardEmulator::Options opts;
        opts.rate = rate;
        opts.recordBlocks = false; // compared with expectedBlock() instead
        Rig r(opts);
        QVERIFY(r.open());
        QSignalSpy data(r.w.get(), &MainWindow::newData);

        r.ui()->start->click();
        QTRY_VERIFY_WITH_TIMEOUT(data.count() >= before, 20000);
        QVERIFY(r.emu.executing());
        r.ui()->stop->click();
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 20000);

        QVERIFY(!r.emu.executing());
        QCOMPARE(controlWrites(r.emu), (QList<int>{0x60, 0x10}));
        const qint64 sent = r.emu.blocksSent();
        QVERIFY(sent > before);
        QCOMPARE(qint64(data.count()), sent);
        // The run file, block by block, against what the board sent.
        qint64 i = 0;
        for (const QString &name : r.runFiles(0)) {
            QFile file(name);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.size() % Event::BlockSize, qint64(0));
            for (; !file.atEnd(); ++i)
                QVERIFY2(file.read(Event::BlockSize) == r.emu.expectedBlock(i), qPrintable(QString::number(i)));
        }
        QCOMPARE(i, sent);
        QCOMPARE(r.ui()->nRun->text(), QStringLiteral("1"));
        QCOMPARE(r.answerer.count(), 0);
    }

    // Single: the block is recorded even when Stop is pressed while it is
    // still on its way (it arrives slowly, in small pieces).
    void singleKeepsItsBlock_data()
    {
        QTest::addColumn<bool>("stopEarly");
        QTest::newRow("single") << false;
        QTest::newRow("stop while the block arrives") << true;
    }

    void singleKeepsItsBlock()
    {
        QFETCH(bool, stopEarly);
        Rig r;
        QVERIFY(r.open());
        QSignalSpy data(r.w.get(), &MainWindow::newData);
        if (stopEarly) {
            r.emu.setFault(BoardEmulator::SmallPieces, 16); // about two seconds per block
            r.emu.setFault(BoardEmulator::HoldTrigger);
        }
        // The poll that sends the trigger write, before the start write, reads
        // a status without "executing": Stop must stay unusable through it.
        int idleReports = 0;
        int stopOffered = 0;
        bool executing = false;
        connect(A::worker(*r.w), qOverload<quint8>(&QUdpThread::received), r.w.get(), [&](quint8 status) {
            executing = executing || (status & Reg::StatusExecuting);
            if (!executing && A::stream(*r.w)) {
                ++idleReports;
                stopOffered += r.ui()->stop->isEnabled();
            }
        });

        r.ui()->single->click();
        if (stopEarly) {
            // Stop becomes usable once the board reports that it executes.
            QTRY_VERIFY_WITH_TIMEOUT(r.ui()->stop->isEnabled(), 5000);
            QVERIFY(idleReports > 0);
            QCOMPARE(stopOffered, 0);
            r.emu.clearFault(BoardEmulator::HoldTrigger);
            QTRY_VERIFY_WITH_TIMEOUT(r.emu.blocksSent() == 1, 10000);
            QCOMPARE(data.count(), 0);
            r.ui()->stop->click();
        }
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 20000);

        QCOMPARE(r.emu.blocksSent(), qint64(1));
        QCOMPARE(data.count(), 1);
        QVERIFY(r.run(0) == r.emu.sentBlocks().value(0));
        QCOMPARE(r.ui()->nRun->text(), QStringLiteral("1"));
        QCOMPARE(controlWrites(r.emu).value(0), 0x20);
        QVERIFY(controlWrites(r.emu).contains(0x10));
        QCOMPARE(r.answerer.count(), 0);
    }

    // Once Stop has been pressed the stream only drains: a status read
    // before the stop bit landed ("executing") does not offer Stop again, and
    // a second stop (the calibration dialog's, the monitor's) neither writes
    // the stop bit again nor cuts the drain short.
    void stopNotOfferedAgain_data()
    {
        QTest::addColumn<bool>("continuous");
        QTest::newRow("start") << true;
        QTest::newRow("single") << false;
    }

    void stopNotOfferedAgain()
    {
        QFETCH(bool, continuous);
        BoardEmulator::Options opts;
        opts.rate = 100;
        Rig r(opts);
        QVERIFY(r.open());
        QSignalSpy data(r.w.get(), &MainWindow::newData);
        if (continuous) {
            r.ui()->start->click();
            QTRY_VERIFY_WITH_TIMEOUT(data.count() >= 5, 10000);
            r.ui()->stop->click();
        } else {
            r.ui()->single->click();
            QTRY_VERIFY_WITH_TIMEOUT(data.count() == 1, 10000);
        }
        // Draining now.
        QTcpThread *stream = A::stream(*r.w);
        QVERIFY(stream);
        QVERIFY(stream->isDraining());
        r.w->setStatus(0x0F);
        QVERIFY(!r.ui()->stop->isEnabled());
        r.w->on_stop_clicked();
        QVERIFY(A::stream(*r.w) == stream);
        QVERIFY(!stream->isAborted());
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 10000);
        QVERIFY(!r.ui()->stop->isEnabled());
        QCOMPARE(controlWrites(r.emu), (QList<int>{continuous ? 0x60 : 0x20, 0x10}));
        QCOMPARE(qint64(data.count()), r.emu.blocksSent());
        QVERIFY(r.run(0) == joined(r.emu.sentBlocks()));
        QCOMPARE(r.answerer.count(), 0);
    }

    // A stream error while the board acquires: the stop bit follows, so the
    // next Start records only the blocks sent after its own start write.
    void streamErrorStopsBoard()
    {
        BoardEmulator::Options opts;
        opts.rate = 200;
        Rig r(opts);
        QVERIFY(r.open());
        r.emu.setFault(BoardEmulator::BadHeader, 5);
        r.answerer.answer(QMessageBox::Ok);
        r.ui()->start->click();
        QVERIFY(r.answerer.waitForBoxes(1, 10000));
        QCOMPARE(r.answerer.last().text, QStringLiteral("Failed to read header on stream TCP\nPlease reconnect."));
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(controlWrites(r.emu), (QList<int>{0x60, 0x10}), 3000);
        QVERIFY(!r.emu.executing());
        r.emu.clearFaults();

        // Nothing more comes from the stopped board.
        const qint64 sentBefore = r.emu.blocksSent();
        QTest::qWait(300);
        QCOMPARE(r.emu.blocksSent(), sentBefore);
        r.emu.clearBlocks();

        QSignalSpy data(r.w.get(), &MainWindow::newData);
        r.ui()->start->click();
        QTRY_VERIFY_WITH_TIMEOUT(data.count() >= 10, 10000);
        r.ui()->stop->click();
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 10000);
        QCOMPARE(controlWrites(r.emu), (QList<int>{0x60, 0x10, 0x60, 0x10}));
        const QList<QByteArray> sent = r.emu.sentBlocks();
        QCOMPARE(r.emu.blocksSent(), sentBefore + sent.size());
        // Run 0 ended with the error (run number advanced); run 1 is the new one.
        QVERIFY(r.run(1) == joined(sent));
        QCOMPARE(r.run(1).size(), data.count() * Event::BlockSize);
    }

    // The window closed during an acquisition stops the board.
    void closedWindowStopsBoard()
    {
        BoardEmulator::Options opts;
        opts.rate = 200;
        Rig r(opts);
        QVERIFY(r.open());
        QSignalSpy data(r.w.get(), &MainWindow::newData);
        r.ui()->start->click();
        QTRY_VERIFY_WITH_TIMEOUT(data.count() >= 5, 10000);
        QVERIFY(A::running(*r.w));
        r.w->close();
        r.w.reset();
        QCOMPARE(controlWrites(r.emu), (QList<int>{0x60, 0x10}));
        QVERIFY(!r.emu.executing());

        const qint64 sentBefore = r.emu.blocksSent();
        QTest::qWait(300);
        QCOMPARE(r.emu.blocksSent(), sentBefore);
        r.emu.clearBlocks();

        // A new window's run holds its own blocks only.
        r.w = std::make_unique<MainWindow>(false, 1024);
        QVERIFY(readBoard(*r.w, r.emu));
        r.ui()->tabWidget->setCurrentIndex(1);
        r.ui()->save->setChecked(true);
        r.ui()->path->setText(r.dir.path());
        r.ui()->nRun->setText(QStringLiteral("7"));
        QSignalSpy more(r.w.get(), &MainWindow::newData);
        r.ui()->start->click();
        QTRY_VERIFY_WITH_TIMEOUT(more.count() >= 5, 10000);
        r.ui()->stop->click();
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 10000);
        QVERIFY(r.run(7) == joined(r.emu.sentBlocks()));
    }

    // The board closes the stream mid-block while the roll-over question
    // that Stop's pause opened is open: once answered, the window is stopped.
    void streamEndsDuringQuestionInStopPause()
    {
        BoardEmulator::Options opts;
        opts.rate = 20;
        Rig r(opts, 1); // 31 blocks per file
        QVERIFY(r.open());
        r.emu.setFault(BoardEmulator::CloseMidBlock, 32);
        // The question is answered only once the stream's end has reached the
        // window: its box (seen before or after the question) answered, the
        // reader finished and one more tick for its queued end.
        QPointer<QMessageBox> question;
        const auto answer = [&](QWidget *w) {
            auto *box = static_cast<QMessageBox *>(w);
            if (box->button(QMessageBox::Yes))
                question = box;
            else
                box->button(QMessageBox::Ok)->click();
        };
        r.answerer.answerWith(answer);
        r.answerer.answerWith(answer);
        bool ended = false;
        QTimer yes;
        connect(&yes, &QTimer::timeout, this, [&] {
            if (ended && question)
                question->button(QMessageBox::Yes)->click();
            QTcpThread *t = A::stream(*r.w);
            ended = r.answerer.count() == 2 && t && t->isFinished();
        });
        yes.start(50);
        // After 31 events: block 31 waits in the reader and block 32 has begun
        // to go out when Stop is pressed.
        int events = 0;
        connect(r.w.get(), &MainWindow::newData, r.w.get(), [&] {
            QTcpThread *t = A::stream(*r.w);
            if (++events != 31 || !t)
                return;
            const QDeadlineTimer deadline(5000);
            while (!(t->hasBlock() && r.emu.blocksSent() > 32) && !deadline.hasExpired())
                QThread::msleep(5);
            r.ui()->stop->click();
        }, Qt::QueuedConnection);
        r.ui()->start->click();
        QFile next(r.runFiles(0).value(0).replace(QLatin1String("_000."), QLatin1String("_001.")));
        QVERIFY(next.open(QIODevice::WriteOnly));
        next.close();

        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 10000);
        const QString asked = next.fileName() + QStringLiteral(" already exists.\nDo you want to replace it?");
        QCOMPARE(r.answerer.count(), 2);
        QVERIFY(r.answerer.boxes().at(0).text == asked || r.answerer.boxes().at(1).text == asked);
        QVERIFY(!A::runFile(*r.w));
        QVERIFY(r.ui()->start->isEnabled());
        QVERIFY(r.ui()->single->isEnabled());
        QVERIFY(!r.ui()->stop->isEnabled());
        QCOMPARE(r.ui()->nRun->text(), QStringLiteral("1"));
        QVERIFY(r.run(0) == joined(r.emu.sentBlocks().mid(0, 32)));
    }

    // The board's wait-time word (up to 65 s) does not hold the window up.
    void longWaitTimeIsBounded()
    {
        Rig r;
        r.emu.setWaitTime(65000);
        QVERIFY(r.open());
        // The pause runs from " stopped" until the stream is removed.
        QElapsedTimer t;
        connect(r.w->statusBar(), &QStatusBar::messageChanged, r.w.get(), [&](const QString &text) {
            if (text == QLatin1String(" stopped"))
                t.start();
        });
        r.ui()->single->click();
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 20000);
        QVERIFY(t.isValid());
        QVERIFY2(t.elapsed() < 3000, qPrintable(QString::number(t.elapsed())));
    }

    // A run fails and the worker is restarted before the window has handled
    // the queued error: the box still shows the failed run's text and the
    // window ends in the link-error state. A tab switch handles that error
    // before it starts the tab's job; a job started at once (as the command
    // server does) rewrites the worker's text while the error still waits.
    void errorTextSurvivesRestart_data()
    {
        QTest::addColumn<bool>("tabSwitch");
        QTest::newRow("tab switch") << true;
        QTest::newRow("worker started at once") << false;
    }

    void errorTextSurvivesRestart()
    {
        QFETCH(bool, tabSwitch);
        Rig r;
        QVERIFY(r.open());
        QUdpThread *worker = A::worker(*r.w);
        r.ui()->tabWidget->setCurrentIndex(0); // worker stopped
        worker->setTimeout(1);
        worker->setRetry(1);
        r.emu.setFault(BoardEmulator::DropReplies);
        r.ui()->tabWidget->setCurrentIndex(1); // polling, which times out
        // Without handling events: the run ends, its error waits in the queue.
        QVERIFY(worker->wait(20000));
        r.emu.clearFaults();
        r.answerer.answer(QMessageBox::Ok);
        if (tabSwitch) {
            r.ui()->tabWidget->setCurrentIndex(2);
        } else {
            worker->mode = QUdpThread::ModeReadInfo; // a new run clears the worker's text
            worker->start();
        }
        QVERIFY(r.answerer.waitForBoxes(1, 10000));
        QCOMPARE(r.answerer.last().text,
                 QStringLiteral("read address: 0x00000007\nlength: 7\n\nQTelvo: Socket operation timed out"));
        QCOMPARE(r.answerer.last().title, QString());
        QTRY_VERIFY_WITH_TIMEOUT(!A::worker(*r.w), 3000);
        QVERIFY(r.ui()->read->isEnabled());
        QVERIFY(!r.ui()->write->isEnabled());
        QVERIFY(!r.ui()->stop->isEnabled());
        QVERIFY(r.ui()->tabWidget->isTabEnabled(0));
        for (int i = 1; i <= 4; ++i)
            QVERIFY(!r.ui()->tabWidget->isTabEnabled(i));
        // The report of the restarted run is not acted upon.
        QTest::qWait(300);
        QCOMPARE(r.answerer.count(), 1);
        QVERIFY(!r.ui()->tabWidget->isTabEnabled(1));
    }

    // Signals of a replaced worker are not acted upon.
    void replacedWorkerIsIgnored()
    {
        Rig r;
        QVERIFY(r.open());
        r.ui()->tabWidget->setCurrentIndex(0);
        const QString report = r.ui()->textEdit->toPlainText();
        QPointer<QUdpThread> old = A::worker(*r.w);
        BoardEmulator other;
        QVERIFY(other.start());
        r.ui()->udp->setText(QString::number(other.udpPort()));
        r.ui()->read->click();
        QVERIFY(A::worker(*r.w) != old.data());
        QVERIFY(old); // deleted later

        // Executing, a report and an error from the old worker: nothing happens.
        emit old->received(quint8(0x0F));
        emit old->received(QStringLiteral("stale report"));
        emit old->error(QStringLiteral("stale error"));
        QCOMPARE(r.answerer.count(), 0);
        QVERIFY(!r.ui()->stop->isEnabled());
        QCOMPARE(r.ui()->textEdit->toPlainText(), report);
        QTRY_VERIFY_WITH_TIMEOUT(!old, 3000);
        QTRY_VERIFY_WITH_TIMEOUT(r.ui()->read->isEnabled(), 10000);
        QCOMPARE(r.answerer.count(), 0);
    }

    // The register port goes away while the Operation tab polls: the box
    // names the failed access and the real cause.
    void registerPortUnreachable()
    {
        Rig r;
        QVERIFY(r.open());
        r.answerer.answer(QMessageBox::Ok);
        QVERIFY(r.emu.setRegisterPortOpen(false));
        QVERIFY(r.answerer.waitForBoxes(1, 10000));
        QCOMPARE(r.answerer.last().text, QStringLiteral("read address: 0x00000007\nlength: 7\n\nConnection refused"));
        QCOMPARE(r.answerer.last().icon, QMessageBox::Warning);
        QTRY_VERIFY_WITH_TIMEOUT(!A::worker(*r.w), 3000);
        QVERIFY(r.ui()->read->isEnabled());
        QVERIFY(!r.ui()->tabWidget->isTabEnabled(1));

        // Back on: Read works again.
        QVERIFY(r.emu.setRegisterPortOpen(true));
        r.ui()->read->click();
        QTRY_VERIFY_WITH_TIMEOUT(r.ui()->tabWidget->isTabEnabled(1), 10000);
    }
};

QTEST_MAIN(TestStreamEnd)
#include "tst_streamend.moc"
