// Acquisition control through the real window against the board emulator on
// 127.0.0.1: ControlRegister values, the event hand-off, status texts and
// LEDs, stream errors and how the window recovers from them.
#include "blackhole.h"
#include "boardemulator.h"
#include "calibrationdialog.h"
#include "eventblock.h"
#include "mainwindow.h"
#include "qtcpthread.h"
#include "qudpthread.h"
#include "testsupport.h"
#include "ui_mainwindow.h"
#include "windowrig.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>

struct MainWindowAccess {
    static Ui_MainWindow *ui(MainWindow &w) { return w.ui; }
    static QTcpThread *stream(MainWindow &w) { return w.tcpThread; }
    static QUdpThread *worker(MainWindow &w) { return w.udpThread; }
    static QFile *runFile(MainWindow &w) { return w.runFile; }
    static QTimer *timer(MainWindow &w) { return w.timer; }
    static bool running(MainWindow &w) { return w.running; }
    static bool continuousMode(MainWindow &w) { return w.continuousMode; }
};

namespace {

using A = MainWindowAccess;


bool lit(QLabel *led)
{
    return led->pixmap().toImage() == QPixmap(QStringLiteral(":/images/led_green.png")).toImage();
}

bool dark(QLabel *led)
{
    return led->pixmap().toImage() == QPixmap(QStringLiteral(":/images/led_off.png")).toImage();
}

// The window after Read against the emulator, on the Operation tab (status
// polling, queued writes sent).
struct Rig {
    explicit Rig(bool useT0 = false, BoardEmulator::Options opts = BoardEmulator::Options())
        : emu(opts), w(useT0, 1024)
    {
    }

    bool open()
    {
        if (!emu.start() || !readBoard(w, emu))
            return false;
        ui()->tabWidget->setCurrentIndex(1);
        return true;
    }

    Ui_MainWindow *ui() { return A::ui(w); }
    QString status() { return w.statusBar()->currentMessage(); }
    bool stopped() { return !A::stream(w) && status() == QLatin1String(" stopped"); }

    BoardEmulator emu;
    MainWindow w;
    ModalAnswerer answerer;
};

} // namespace

class TestAcquisition : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { installFailOnWarnings(); }

    // Single in idle without T0: 0x20, exactly one event, then 0x10.
    void singleInIdle()
    {
        Rig r;
        QVERIFY(r.open());
        QSignalSpy data(&r.w, &MainWindow::newData);
        QSignalSpy messages(r.w.statusBar(), &QStatusBar::messageChanged);
        QList<QByteArray> copies;
        connect(&r.w, &MainWindow::newData, this,
                [&](QByteArray *d, int) { copies << *d; });

        r.ui()->single->click();
        QCOMPARE(r.status(), QStringLiteral(" connecting..."));
        QVERIFY(!r.ui()->single->isEnabled());
        QVERIFY(!r.ui()->start->isEnabled());
        QVERIFY(!r.ui()->tabWidget->isTabEnabled(0));
        QVERIFY(r.ui()->tabWidget->isTabEnabled(1));
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 10000);

        QCOMPARE(data.count(), 1);
        QCOMPARE(data.at(0).at(1).toInt(), 0);
        QCOMPARE(copies.size(), 1);
        QCOMPARE(copies.at(0), r.emu.sentBlocks().value(0));
        QCOMPARE(r.emu.blocksSent(), qint64(1));
        QTRY_COMPARE_WITH_TIMEOUT(controlWrites(r.emu), (QList<int>{0x20, 0x10}), 3000);

        QStringList seen;
        for (const QList<QVariant> &m : std::as_const(messages))
            seen << m.at(0).toString();
        QCOMPARE(seen, (QStringList{QStringLiteral(" connecting..."), QStringLiteral(" waiting trigger"),
                                    QString(), QStringLiteral(" stopped")}));

        // The window is usable again; the single did not touch the tick.
        QVERIFY(r.ui()->single->isEnabled());
        QVERIFY(r.ui()->start->isEnabled());
        QVERIFY(!r.ui()->stop->isEnabled());
        QVERIFY(r.ui()->graph->isEnabled());
        QVERIFY(r.ui()->trigger->isEnabled());
        QVERIFY(r.ui()->reset->isEnabled());
        QVERIFY(tabsEnabled(r.w));
        QVERIFY(!A::timer(r.w)->isActive());
        QVERIFY(!A::running(r.w));
        QCOMPARE(r.answerer.count(), 0);
    }

    // Setup condition with T0: toggle 0x80, start 0xE1, tick, stop 0x90,
    // reset 0x88; back to idle 0x00 and reset 0x08.
    void continuousInSetupWithT0()
    {
        BoardEmulator::Options opts;
        opts.rate = 200;
        Rig r(true, opts);
        QVERIFY(r.open());
        QSignalSpy data(&r.w, &MainWindow::newData);
        QSignalSpy cleared(&r.w, &MainWindow::startTrigger);
        QList<QByteArray> copies;
        connect(&r.w, &MainWindow::newData, this, [&](QByteArray *d, int) { copies << *d; });

        r.ui()->pushButton->click();
        QVERIFY(lit(r.ui()->setupLED));
        QVERIFY(dark(r.ui()->idleLED));
        QVERIFY(!r.ui()->trigger->isEnabled());
        QVERIFY(!r.ui()->reset->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(controlWrites(r.emu), (QList<int>{0x80}), 3000);

        r.ui()->start->click();
        QTRY_COMPARE_WITH_TIMEOUT(controlWrites(r.emu), (QList<int>{0x80, 0xE1}), 3000);
        QCOMPARE(cleared.count(), 1);
        QVERIFY(r.ui()->stop->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(data.count() >= 5, 5000);
        QCOMPARE(r.status(), QStringLiteral(" triggered"));
        QVERIFY(A::timer(r.w)->isActive());
        QCOMPARE(A::timer(r.w)->interval(), 1000);
        QVERIFY(A::continuousMode(r.w));

        // Blocks now take about two seconds each: the tick shows up between them.
        r.emu.setFault(BoardEmulator::SmallPieces, 16);
        QTRY_COMPARE_WITH_TIMEOUT(r.status(), QStringLiteral(" waiting trigger"), 5000);
        const int before = data.count();
        QTRY_VERIFY_WITH_TIMEOUT(data.count() > before, 10000);
        QCOMPARE(r.status(), QStringLiteral(" triggered"));
        r.emu.clearFaults();

        r.ui()->stop->click();
        QVERIFY(!r.ui()->stop->isEnabled());
        QVERIFY(!A::running(r.w));
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 5000);
        QVERIFY(!A::timer(r.w)->isActive());
        QTRY_COMPARE_WITH_TIMEOUT(controlWrites(r.emu).value(2), 0x90, 3000);
        // Still in setup: the trigger group and Reset stay locked.
        QVERIFY(!r.ui()->trigger->isEnabled());
        QVERIFY(!r.ui()->reset->isEnabled());
        QVERIFY(r.ui()->start->isEnabled());

        // Every block the board sent was handed over, in order, up to the last.
        QCOMPARE(copies.size(), data.count());
        QCOMPARE(copies, r.emu.sentBlocks());

        QMetaObject::invokeMethod(&r.w, "on_reset_clicked");
        QTRY_COMPARE_WITH_TIMEOUT(controlWrites(r.emu).value(3), 0x88, 3000);

        r.ui()->pushButton->click();
        QVERIFY(lit(r.ui()->idleLED));
        QVERIFY(dark(r.ui()->setupLED));
        QVERIFY(r.ui()->trigger->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(controlWrites(r.emu).value(4, -1), 0x00, 3000);
        r.ui()->reset->click();
        QTRY_COMPARE_WITH_TIMEOUT(controlWrites(r.emu),
                                  (QList<int>{0x80, 0xE1, 0x90, 0x88, 0x00, 0x08}), 3000);
        QCOMPARE(r.answerer.count(), 0);
    }

    // A start asked for while the last stream is still ending (the calibration
    // dialog's Run right after its Stop) follows once that stream has ended;
    // a Stop in between takes it back.
    void startWhileStreamEnds_data()
    {
        QTest::addColumn<bool>("stopAgain");
        QTest::newRow("started after the end") << false;
        QTest::newRow("taken back by Stop") << true;
    }
    void startWhileStreamEnds()
    {
        QFETCH(bool, stopAgain);
        BoardEmulator::Options opts;
        opts.rate = 200;
        Rig r(false, opts);
        QVERIFY(r.open());
        QSignalSpy data(&r.w, &MainWindow::newData);

        r.ui()->start->click();
        QTRY_VERIFY_WITH_TIMEOUT(data.count() >= 3, 5000);
        r.ui()->stop->click();
        QVERIFY(A::stream(r.w));
        QVERIFY(A::stream(r.w)->isDraining());
        QMetaObject::invokeMethod(&r.w, "on_start_clicked");
        if (stopAgain) {
            QMetaObject::invokeMethod(&r.w, "on_stop_clicked");
            QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 5000);
            QTest::qWait(300);
            QVERIFY(!A::stream(r.w));
            QCOMPARE(controlWrites(r.emu), (QList<int>{0x60, 0x10}));
            QVERIFY(r.ui()->start->isEnabled());
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(A::stream(r.w) && A::running(r.w), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(controlWrites(r.emu), (QList<int>{0x60, 0x10, 0x60}), 3000);
        QVERIFY(!r.ui()->start->isEnabled());
        const int before = data.count();
        QTRY_VERIFY_WITH_TIMEOUT(data.count() > before, 5000);
        r.ui()->stop->click();
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 5000);
        QCOMPARE(controlWrites(r.emu), (QList<int>{0x60, 0x10, 0x60, 0x10}));
        QCOMPARE(r.answerer.count(), 0);
    }

    // Streams that end by themselves: the error text, then the window is usable.
    void streamErrors_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("param");
        QTest::addColumn<int>("events");
        QTest::addColumn<QString>("text"); // %1 = host:port prefix
        QTest::newRow("bad header") << int(BoardEmulator::BadHeader) << 2 << 2
                                    << QStringLiteral("Failed to read header on stream TCP\nPlease reconnect.");
        QTest::newRow("closed mid-block") << int(BoardEmulator::CloseMidBlock) << 2 << 2
                                          << QStringLiteral("%1The remote host closed the connection");
        QTest::newRow("refused") << int(BoardEmulator::RefuseStream) << 0 << 0
                                 << QStringLiteral("%1Connection refused");
    }

    void streamErrors()
    {
        QFETCH(int, fault);
        QFETCH(int, param);
        QFETCH(int, events);
        QFETCH(QString, text);
        Rig r;
        QVERIFY(r.open());
        QSignalSpy data(&r.w, &MainWindow::newData);
        r.emu.setFault(BoardEmulator::Fault(fault), param);
        r.answerer.answer(QMessageBox::Ok);
        r.ui()->start->click();
        QVERIFY(r.answerer.waitForBoxes(1, 10000));
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 5000);

        const QString prefix = QStringLiteral("127.0.0.1:%1 ").arg(r.emu.tcpPort());
        const BoxRecord box = r.answerer.last();
        QCOMPARE(box.text, text.contains(QLatin1String("%1")) ? text.arg(prefix) : text);
        QCOMPARE(box.title, QString());
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(data.count(), events);
        QVERIFY(r.ui()->start->isEnabled());
        QVERIFY(r.ui()->single->isEnabled());
        QVERIFY(!r.ui()->stop->isEnabled());
        QVERIFY(tabsEnabled(r.w));
        // A stream that ended by itself while the board was armed has the
        // stop bit written after it; one that never stood has none.
        if (events > 0) {
            QTRY_COMPARE_WITH_TIMEOUT(controlWrites(r.emu), (QList<int>{0x60, 0x10}), 3000);
            QVERIFY(!r.emu.executing());
        } else {
            QCOMPARE(controlWrites(r.emu), QList<int>());
        }
    }

    // A board that never accepts the stream: Stop ends the connect phase.
    void stopWhileConnecting()
    {
        BlackHole hole;
        if (!hole.full)
            QSKIP("the loopback listener accepts every connection here");
        Rig r;
        QVERIFY(r.open());
        r.ui()->tcp->setText(QString::number(hole.port));
        r.answerer.answer(QMessageBox::Ok);
        r.ui()->start->click();
        QCOMPARE(r.status(), QStringLiteral(" connecting..."));
        QTest::qWait(100);
        QCOMPARE(r.status(), QStringLiteral(" connecting..."));
        // The calibration dialog or a remote client stops it.
        QMetaObject::invokeMethod(&r.w, "on_stop_clicked");
        QVERIFY(r.answerer.waitForBoxes(1, 5000));
        QCOMPARE(r.answerer.last().text, QStringLiteral("Aborted"));
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(controlWrites(r.emu).value(0), 0x10, 3000);
        QVERIFY(r.ui()->start->isEnabled());
    }

    // Bad stream port or address: refused before anything is locked, written or opened.
    void refusedStartLeavesWindowUsable_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("text");
        const QString tail = QStringLiteral("\nThe port has to be a value from 1 to 65535");
        QTest::newRow("port 0") << "0" << "127.0.0.1" << "Invalid Port Number: 0" + tail;
        QTest::newRow("port 65536") << "65536" << "127.0.0.1" << "Invalid Port Number: 65536" + tail;
        QTest::newRow("port abc") << "abc" << "127.0.0.1" << "Invalid Port Number: abc" + tail;
        QTest::newRow("address") << "" << "300.1.2.3" << "Invalid IP Address: 300.1.2.3";
    }

    void refusedStartLeavesWindowUsable()
    {
        QFETCH(QString, port);
        QFETCH(QString, address);
        QFETCH(QString, text);
        Rig r;
        QVERIFY(r.open());
        QTemporaryDir dir;
        r.ui()->save->setChecked(true);
        r.ui()->path->setText(dir.path());
        if (!port.isEmpty())
            r.ui()->tcp->setText(port);
        r.ui()->address->setText(address);
        const int requests = r.emu.requests().size();

        r.answerer.answer(QMessageBox::Ok);
        r.ui()->start->click();
        QCOMPARE(r.answerer.count(), 1);
        QCOMPARE(r.answerer.last().text, text);
        QCOMPARE(r.answerer.last().title, QString());
        QVERIFY(!A::stream(r.w));
        QVERIFY(!A::runFile(r.w));
        QVERIFY(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
        QVERIFY(r.ui()->start->isEnabled());
        QVERIFY(r.ui()->single->isEnabled());
        QVERIFY(r.ui()->trigger->isEnabled());
        QVERIFY(tabsEnabled(r.w));
        // Nothing was queued for the board (trigger settings included).
        QTest::qWait(700);
        for (int i = requests; i < r.emu.requests().size(); ++i)
            QVERIFY(!r.emu.requests().at(i).write);
    }

    // A start refused after the controls were locked (the stream port went
    // bad while the run directory question was open) gives the offset
    // correction box back when a calibration table exists.
    void lateRefusalOffersCorrection()
    {
        {
            // A table from a run of one event per cell: two events whose
            // start cells 0 and 512 cover every cell.
            CalibrationDialog d;
            d.findChild<QLineEdit *>(QStringLiteral("lineEditAverageCount"))->setText(QStringLiteral("1"));
            d.findChild<QPushButton *>(QStringLiteral("btnCalibrationRun"))->click();
            for (int start : {0, 512}) {
                QByteArray block(Event::BlockSize, '\0');
                uchar *p = reinterpret_cast<uchar *>(block.data());
                for (int i = 0; i < Event::HeaderSize; ++i)
                    p[i] = Event::Header[i];
                for (int c = 0; c < Event::Channels; ++c)
                    Event::setWord(p, c, 0, qint16(start));
                QVERIFY(QMetaObject::invokeMethod(&d, "newData", Qt::DirectConnection,
                                                  Q_ARG(QByteArray *, &block), Q_ARG(int, 0)));
            }
            QVERIFY(CalibrationDialog::isCalibrated());
        }
        Rig r;
        QVERIFY(r.open());
        QTemporaryDir dir;
        r.ui()->save->setChecked(true);
        r.ui()->path->setText(dir.filePath(QStringLiteral("runs")));
        r.answerer.answerWith([&](QWidget *box) {
            r.ui()->tcp->setText(QStringLiteral("0"));
            static_cast<QMessageBox *>(box)->button(QMessageBox::Ok)->click();
        });
        r.answerer.answer(QMessageBox::Ok);
        r.ui()->start->click();
        QCOMPARE(r.answerer.count(), 2);
        QCOMPARE(r.answerer.last().text,
                 QStringLiteral("Invalid Port Number: 0\nThe port has to be a value from 1 to 65535"));
        QVERIFY(!A::stream(r.w));
        QVERIFY(!A::runFile(r.w));
        QVERIFY(r.ui()->start->isEnabled());
        QVERIFY(r.ui()->single->isEnabled());
        QVERIFY(tabsEnabled(r.w));
        QVERIFY(r.ui()->usingCalibration->isEnabled());
    }

    // The worker dies mid-run: Stop is still possible and the run file is
    // closed, with every event recorded; the next run does not overwrite it.
    // After a link error the stream can still be stopped at once, without
    // reading the board again, and its run file is closed.
    void stopAfterLinkError()
    {
        BoardEmulator::Options opts;
        opts.rate = 100;
        Rig r(false, opts);
        QVERIFY(r.open());
        QTemporaryDir dir;
        r.ui()->save->setChecked(true);
        r.ui()->path->setText(dir.path());
        r.ui()->nRun->setText(QStringLiteral("5"));
        int events = 0;
        connect(&r.w, &MainWindow::newData, this, [&](QByteArray *, int) { ++events; });

        r.ui()->start->click();
        QTRY_VERIFY_WITH_TIMEOUT(events >= 2, 5000);
        r.answerer.answer(QMessageBox::Ok);
        r.emu.setFault(BoardEmulator::BusError);
        QVERIFY(r.answerer.waitForBoxes(1, 10000));
        r.emu.clearFaults();
        QTRY_VERIFY_WITH_TIMEOUT(!A::worker(r.w), 3000);
        QVERIFY(A::stream(r.w));
        QVERIFY(r.ui()->tabWidget->isTabEnabled(1));
        QVERIFY(r.ui()->stop->isEnabled());

        r.ui()->stop->click();
        QTRY_VERIFY_WITH_TIMEOUT(!A::stream(r.w), 5000);
        QVERIFY(!A::runFile(r.w));
        QCOMPARE(r.ui()->nRun->text(), QStringLiteral("6"));
        QVERIFY(!r.ui()->tabWidget->isTabEnabled(1));
        QVERIFY(r.ui()->tabWidget->isTabEnabled(0));
        QVERIFY(r.ui()->read->isEnabled());
    }

    void linkErrorDuringRun()
    {
        BoardEmulator::Options opts;
        opts.rate = 100;
        Rig r(false, opts);
        QVERIFY(r.open());
        QTemporaryDir dir;
        r.ui()->save->setChecked(true);
        r.ui()->path->setText(dir.path());
        r.ui()->nRun->setText(QStringLiteral("3"));
        QList<QByteArray> copies;
        connect(&r.w, &MainWindow::newData, this, [&](QByteArray *d, int) { copies << *d; });

        r.ui()->start->click();
        QTRY_VERIFY_WITH_TIMEOUT(copies.size() >= 3, 5000);

        r.answerer.answer(QMessageBox::Ok);
        r.emu.setFault(BoardEmulator::BusError);
        QVERIFY(r.answerer.waitForBoxes(1, 5000));
        QTRY_VERIFY_WITH_TIMEOUT(!A::worker(r.w), 3000);
        QVERIFY(A::stream(r.w));
        QVERIFY(A::runFile(r.w));
        r.emu.clearFaults();

        // Read again, back to the Operation tab: Stop becomes usable.
        r.ui()->tabWidget->setCurrentIndex(0);
        r.ui()->read->click();
        QTRY_VERIFY_WITH_TIMEOUT(r.ui()->tabWidget->isTabEnabled(1), 10000);
        r.ui()->tabWidget->setCurrentIndex(1);
        QTRY_VERIFY_WITH_TIMEOUT(r.ui()->stop->isEnabled(), 5000);
        r.ui()->stop->click();
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 5000);
        QVERIFY(!A::runFile(r.w));
        QCOMPARE(r.ui()->nRun->text(), QStringLiteral("4"));

        QDir runDir(dir.path());
        const QStringList runs = runDir.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QCOMPARE(runs.size(), 1);
        QFile f(dir.filePath(runs.at(0) + QStringLiteral("/DAT000003_000.bin")));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), copies.join());
        // The whole stream, not a prefix: nothing was lost at Stop.
        QCOMPARE(copies, r.emu.sentBlocks());
    }

    // Stop without any worker (calibration dialog, remote stop) still ends the stream.
    void stopWithoutWorkerEndsStream()
    {
        BoardEmulator::Options opts;
        opts.rate = 100;
        Rig r(false, opts);
        QVERIFY(r.open());
        QSignalSpy data(&r.w, &MainWindow::newData);
        r.ui()->start->click();
        QTRY_VERIFY_WITH_TIMEOUT(data.count() >= 1, 5000);
        r.answerer.answer(QMessageBox::Ok);
        r.emu.setFault(BoardEmulator::BusError);
        QVERIFY(r.answerer.waitForBoxes(1, 5000));
        QTRY_VERIFY_WITH_TIMEOUT(!A::worker(r.w), 3000);
        QMetaObject::invokeMethod(&r.w, "on_stop_clicked");
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 5000);
        // Without a worker the window stays on the General tab only.
        QVERIFY(!r.ui()->tabWidget->isTabEnabled(1));
    }

    void statusLeds()
    {
        MainWindow w(false, 1024);
        Ui_MainWindow *ui = A::ui(w);
        QSignalSpy received(&w, &MainWindow::received);
        w.setStatus(0x03);
        QVERIFY(lit(ui->adcLED));
        QVERIFY(dark(ui->drsLED));
        QVERIFY(dark(ui->exeLED));
        w.setStatus(0x01); // one ADC alone is not ready
        QVERIFY(dark(ui->adcLED));
        w.setStatus(0x04);
        QVERIFY(lit(ui->drsLED));
        QVERIFY(!ui->stop->isEnabledTo(ui->stop->parentWidget()));
        w.setStatus(0x0F);
        QVERIFY(lit(ui->adcLED));
        QVERIFY(lit(ui->drsLED));
        QVERIFY(lit(ui->exeLED));
        // Single mode (not continuous): executing makes Stop usable.
        QVERIFY(ui->stop->isEnabledTo(ui->stop->parentWidget()));
        w.setStatus(0x00);
        QVERIFY(dark(ui->adcLED));
        QVERIFY(dark(ui->drsLED));
        QVERIFY(dark(ui->exeLED));
        QCOMPARE(received.count(), 5);
        w.tick();
        QCOMPARE(w.statusBar()->currentMessage(), QStringLiteral(" waiting trigger"));
    }

    // The worker's status polling drives the LEDs.
    void ledsFollowBoard()
    {
        Rig r;
        r.emu.setRegister(7, 0x07);
        QSignalSpy received(&r.w, &MainWindow::received);
        QVERIFY(r.open());
        // The read job reports once, then every polling pass.
        QTRY_VERIFY_WITH_TIMEOUT(received.count() >= 3, 5000);
        QVERIFY(lit(r.ui()->adcLED));
        QVERIFY(lit(r.ui()->drsLED));
        QVERIFY(dark(r.ui()->exeLED));
        QCOMPARE(r.ui()->timing->text(), QStringLiteral("0"));
    }
};

QTEST_MAIN(TestAcquisition)
#include "tst_acquisition.moc"
