// Reading the board, network settings, tab switching and link errors,
// driven through the real window against the board emulator on 127.0.0.1.
#include "boardemulator.h"
#include "mainwindow.h"
#include "qudpthread.h"
#include "testsupport.h"
#include "windowrig.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTextEdit>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

struct MainWindowAccess {
    static QUdpThread *worker(MainWindow &w) { return w.udpThread; }
    static QString ipAddress(MainWindow &w) { return w.ipAddress; }
    static quint16 udpPort(MainWindow &w) { return w.udpPort; }
    static QString boardInfo(MainWindow &w) { return w.boardInfo; }
    static QString errorText(MainWindow &w) { return w.errorText; }
    static quint16 tcpPort(MainWindow &w) { return w.tcpPort; }
};

namespace {

using A = MainWindowAccess;

// The window's widgets, found by their object names.
struct Form {
    explicit Form(MainWindow &w)
        : address(find<QLineEdit>(w, "address")), udp(find<QLineEdit>(w, "udp")),
          tcp(find<QLineEdit>(w, "tcp")), newAddr(find<QLineEdit>(w, "newAddr")),
          newUdp(find<QLineEdit>(w, "newUdp")), newTcp(find<QLineEdit>(w, "newTcp")),
          path(find<QLineEdit>(w, "path")), read(find<QPushButton>(w, "read")),
          write(find<QPushButton>(w, "write")), stop(find<QPushButton>(w, "stop")),
          textEdit(find<QTextEdit>(w, "textEdit")), tabWidget(find<QTabWidget>(w, "tabWidget")),
          tableWidget(find<QTableWidget>(w, "tableWidget"))
    {
    }
    template<class T> static T *find(MainWindow &w, const char *name)
    {
        T *t = w.findChild<T *>(QLatin1String(name));
        if (!t)
            qFatal("widget %s missing", name);
        return t;
    }
    QLineEdit *address, *udp, *tcp, *newAddr, *newUdp, *newTcp, *path;
    QPushButton *read, *write, *stop;
    QTextEdit *textEdit;
    QTabWidget *tabWidget;
    QTableWidget *tableWidget;
};

const QString PortTail = QStringLiteral("\nThe port has to be a value from 1 to 65535");

void checkWarning(const BoxRecord &r, const QString &text)
{
    QCOMPARE(r.title, QString());
    QCOMPARE(r.text, text);
    QCOMPARE(r.icon, QMessageBox::Warning);
    QCOMPARE(r.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
}

bool tabsEnabled(MainWindow &w, bool enabled)
{
    for (int i = 1; i <= 4; ++i)
        if (Form(w).tabWidget->isTabEnabled(i) != enabled)
            return false;
    return Form(w).tabWidget->isTabEnabled(0);
}

bool hasRequest(const BoardEmulator &emu, bool write, quint32 address, int length)
{
    const QList<BoardEmulator::Request> log = emu.requests();
    for (const BoardEmulator::Request &r : log)
        if (r.write == write && r.address == address && r.length == length)
            return true;
    return false;
}

int countRequests(const BoardEmulator &emu, bool write, quint32 address)
{
    int n = 0;
    const QList<BoardEmulator::Request> log = emu.requests();
    for (const BoardEmulator::Request &r : log)
        n += r.write == write && r.address == address;
    return n;
}

} // namespace

class TestConnection : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { installFailOnWarnings(); }

    void readShowsReport()
    {
        BoardEmulator emu;
        QVERIFY(emu.start());
        MainWindow w(false, 1024);
        Form ui(w);
        QVERIFY(readBoard(w, emu));

        const QString report = A::boardInfo(w);
        QCOMPARE(ui.textEdit->toPlainText(), report);
        QVERIFY(report.startsWith(QStringLiteral("--------- Vortiq(EEPROM) Information ---------\n")));
        QVERIFY(report.contains(QStringLiteral("UDP Port : 4660\n")));
        QVERIFY(report.contains(QStringLiteral("FPGA Version : 21051401\n")));
        QCOMPARE(ui.tcp->text(), QString::number(emu.tcpPort()));
        QVERIFY(ui.write->isEnabled());
        QCOMPARE(A::ipAddress(w), QStringLiteral("127.0.0.1"));
        QCOMPARE(A::udpPort(w), emu.udpPort());
        QVERIFY(A::worker(w));

        // The read job: the four EEPROM pages, then the registers.
        for (int n = 0; n < 4; ++n)
            QVERIFY(hasRequest(emu, false, 0x80 + 32 * n, 32));
        QVERIFY(hasRequest(emu, false, 0, 48));

        // Nothing reads the port member; it only stores what setTcp gets.
        w.setTcp(1234);
        QCOMPARE(A::tcpPort(w), quint16(1234));
    }

    void readRefusesBadInput_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("message");
        const QString lo = QStringLiteral("127.0.0.1");
        QTest::newRow("port 0") << lo << "0" << "Invalid Port Number: 0" + PortTail;
        QTest::newRow("port 65536") << lo << "65536" << "Invalid Port Number: 65536" + PortTail;
        QTest::newRow("port text") << lo << "udp" << "Invalid Port Number: udp" + PortTail;
        QTest::newRow("port empty") << lo << "" << "Invalid Port Number: " + PortTail;
        QTest::newRow("port negative") << lo << "-1" << "Invalid Port Number: -1" + PortTail;
        QTest::newRow("port before address") << "nowhere" << "0" << "Invalid Port Number: 0" + PortTail;
        QTest::newRow("address text") << "board" << "4660" << "Invalid IP Address: board";
        QTest::newRow("address octet") << "127.0.0.256" << "4660" << "Invalid IP Address: 127.0.0.256";
        QTest::newRow("address empty") << "" << "4660" << "Invalid IP Address: ";
    }

    void readRefusesBadInput()
    {
        QFETCH(QString, address);
        QFETCH(QString, port);
        QFETCH(QString, message);
        MainWindow w(false, 1024);
        Form ui(w);
        ModalAnswerer answerer;
        answerer.answer(QMessageBox::Ok);
        ui.address->setText(address);
        ui.udp->setText(port);
        ui.read->click();
        QCOMPARE(answerer.count(), 1);
        checkWarning(answerer.last(), message);
        QVERIFY(!A::worker(w));
        QCOMPARE(A::ipAddress(w), QStringLiteral("192.168.10.16"));
        QCOMPARE(A::udpPort(w), quint16(4660));
        QVERIFY(ui.read->isEnabled());
        QVERIFY(!ui.write->isEnabled());
        QVERIFY(tabsEnabled(w, false));
    }

    void workerReusedOrReplaced()
    {
        BoardEmulator first;
        BoardEmulator second;
        QVERIFY(first.start());
        QVERIFY(second.start());
        QByteArray info = second.infoBlock();
        qToBigEndian<quint16>(4242, reinterpret_cast<uchar *>(info.data()) + 18);
        second.setInfoBlock(info);

        MainWindow w(false, 1024);
        QVERIFY(readBoard(w, first));
        QPointer<QUdpThread> worker = A::worker(w);
        QVERIFY(worker);

        // Same target: the same worker reads again.
        first.clearRequests();
        QVERIFY(readBoard(w, first));
        QCOMPARE(A::worker(w), worker.data());
        QVERIFY(hasRequest(first, false, 0, 48));

        // Another port: the old worker goes, a new one reads the other board.
        first.clearRequests();
        QVERIFY(readBoard(w, second));
        QVERIFY(A::worker(w) != worker.data());
        QTRY_VERIFY_WITH_TIMEOUT(worker.isNull(), 5000);
        QVERIFY(A::boardInfo(w).contains(QStringLiteral("UDP Port : 4242\n")));
        QVERIFY(first.requests().isEmpty());
        QCOMPARE(A::udpPort(w), second.udpPort());
    }

    void tabsRunTheirModes()
    {
        BoardEmulator emu;
        QVERIFY(emu.start());
        MainWindow w(false, 1024);
        Form ui(w);
        QVERIFY(readBoard(w, emu));
        QUdpThread *worker = A::worker(w);

        // Operation: status polling.
        emu.clearRequests();
        ui.tabWidget->setCurrentIndex(1);
        QTRY_VERIFY_WITH_TIMEOUT(countRequests(emu, false, 7) >= 2, 10000);
        QVERIFY(worker->isRunning());

        // Server: the worker stops and stays stopped.
        ui.tabWidget->setCurrentIndex(4);
        QVERIFY(!worker->isRunning());
        emu.clearRequests();
        QTest::qWait(700);
        QVERIFY(emu.requests().isEmpty());

        // Back to Operation: polling again.
        ui.tabWidget->setCurrentIndex(1);
        QTRY_VERIFY_WITH_TIMEOUT(countRequests(emu, false, 7) >= 1, 10000);

        // Registers: one read job, which delivers a new report.
        ui.textEdit->clear();
        emu.clearRequests();
        ui.tabWidget->setCurrentIndex(2);
        QTRY_VERIFY_WITH_TIMEOUT(!ui.textEdit->toPlainText().isEmpty(), 10000);
        QVERIFY(hasRequest(emu, false, 0x80, 32));
        QVERIFY(hasRequest(emu, false, 0, 48));
        QTRY_VERIFY_WITH_TIMEOUT(!worker->isRunning(), 5000);

        // EEPROM: refresh only, no board traffic.
        emu.clearRequests();
        ui.tableWidget->clearContents();
        ui.tabWidget->setCurrentIndex(3);
        QVERIFY(ui.tableWidget->item(0, 0));
        QVERIFY(!worker->isRunning());
        QTest::qWait(300);
        QVERIFY(emu.requests().isEmpty());

        // General: unsaved edits of the target are undone.
        ui.tabWidget->setCurrentIndex(1);
        ui.address->setText(QStringLiteral("127.0.0.2"));
        ui.udp->setText(QStringLiteral("99"));
        ui.tabWidget->setCurrentIndex(0);
        QVERIFY(!worker->isRunning());
        QCOMPARE(ui.address->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(ui.udp->text(), QString::number(emu.udpPort()));
        QCOMPARE(A::worker(w), worker);
    }

    void writeNetworkSettings()
    {
        BoardEmulator emu;
        QVERIFY(emu.start());
        MainWindow w(false, 1024);
        Form ui(w);
        QVERIFY(readBoard(w, emu));

        ui.newAddr->setText(QStringLiteral("127.1.2.30"));
        ui.newTcp->setText(QStringLiteral("5000"));
        ui.newUdp->setText(QStringLiteral("5001"));
        ui.textEdit->clear();
        ui.write->click();
        QVERIFY(!ui.read->isEnabled());
        QVERIFY(!ui.write->isEnabled());
        QVERIFY(tabsEnabled(w, false));
        QTRY_VERIFY_WITH_TIMEOUT(ui.read->isEnabled() && tabsEnabled(w, true), 10000);
        QVERIFY(ui.write->isEnabled());

        const QByteArray info = emu.infoBlock();
        QCOMPARE(info.mid(8, 6), QByteArray::fromHex("7f01021e1388"));
        QCOMPARE(info.mid(18, 2), QByteArray::fromHex("1389"));
        QVERIFY(quint8(info.at(0)) & 0x04); // Keep Alive
        QCOMPARE(emu.writeProtect(), quint8(0xFF));
        QVERIFY(ui.textEdit->toPlainText().contains(QStringLiteral("TCP Port : 5000\nUDP Port : 5001\n")));
        // The target stays the old one.
        QCOMPARE(ui.address->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(ui.udp->text(), QString::number(emu.udpPort()));
    }

    void writeRefusesBadInput_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("tcp");
        QTest::addColumn<QString>("udp");
        QTest::addColumn<QString>("message");
        const QString a = QStringLiteral("127.1.2.3");
        QTest::newRow("zero address") << "0.0.0.0" << "24" << "4660" << "0.0.0.0 is an invalid address.";
        QTest::newRow("ipv6") << "::1" << "24" << "4660" << "::1 is an invalid address.";
        QTest::newRow("text") << "board" << "24" << "4660" << "board is an invalid address.";
        QTest::newRow("tcp 0") << a << "0" << "4660" << "0 is an invalid port number.";
        QTest::newRow("tcp 65536") << a << "65536" << "4660" << "65536 is an invalid port number.";
        QTest::newRow("tcp text") << a << "x" << "4660" << "x is an invalid port number.";
        QTest::newRow("udp 0") << a << "24" << "0" << "0 is an invalid port number.";
        QTest::newRow("udp negative") << a << "24" << "-1" << "-1 is an invalid port number.";
        QTest::newRow("tcp before udp") << a << "t" << "u" << "t is an invalid port number.";
    }

    void writeRefusesBadInput()
    {
        QFETCH(QString, address);
        QFETCH(QString, tcp);
        QFETCH(QString, udp);
        QFETCH(QString, message);
        BoardEmulator emu;
        QVERIFY(emu.start());
        MainWindow w(false, 1024);
        Form ui(w);
        QVERIFY(readBoard(w, emu));
        const QByteArray info = emu.infoBlock();
        emu.clearRequests();

        ModalAnswerer answerer;
        answerer.answer(QMessageBox::Ok);
        ui.newAddr->setText(address);
        ui.newTcp->setText(tcp);
        ui.newUdp->setText(udp);
        ui.write->click();
        QCOMPARE(answerer.count(), 1);
        checkWarning(answerer.last(), message);
        QVERIFY(ui.read->isEnabled());
        QVERIFY(ui.write->isEnabled());
        QVERIFY(tabsEnabled(w, true));
        QTest::qWait(200);
        QVERIFY(emu.requests().isEmpty());
        QCOMPARE(emu.infoBlock(), info);
    }

    void linkErrorLocksWindow()
    {
        BoardEmulator emu;
        QVERIFY(emu.start());
        MainWindow w(false, 1024);
        Form ui(w);
        QVERIFY(readBoard(w, emu));
        QPointer<QUdpThread> worker = A::worker(w);
        worker->setTimeout(1);
        worker->setRetry(1);
        ui.stop->setEnabled(true);

        // The box comes first; the window locks once it has been answered.
        ModalAnswerer answerer;
        bool shownUnlocked = false;
        answerer.answerWith([&](QWidget *box) {
            shownUnlocked = ui.tabWidget->isTabEnabled(1) && ui.write->isEnabled()
                && ui.tabWidget->currentIndex() == 1 && !A::worker(w);
            qobject_cast<QMessageBox *>(box)->button(QMessageBox::Ok)->click();
        });
        ui.tabWidget->setCurrentIndex(1);
        QTRY_VERIFY_WITH_TIMEOUT(countRequests(emu, false, 7) >= 1, 10000);
        emu.setFault(BoardEmulator::DropReplies);
        QVERIFY(answerer.waitForBoxes(1, 20000));
        QVERIFY(shownUnlocked);

        const QString text = A::errorText(w);
        QVERIFY(text.endsWith(QStringLiteral("QTelvo: Socket operation timed out")));
        checkWarning(answerer.last(), text);
        QVERIFY(!A::worker(w));
        QTRY_VERIFY_WITH_TIMEOUT(worker.isNull(), 5000);
        QCOMPARE(ui.tabWidget->currentIndex(), 0);
        QVERIFY(tabsEnabled(w, false));
        QVERIFY(ui.read->isEnabled());
        QVERIFY(!ui.write->isEnabled());
        QVERIFY(!ui.stop->isEnabled());

        // Tab switches without a worker do nothing; Read makes a new one.
        emu.clearFaults();
        QVERIFY(readBoard(w, emu));
        QVERIFY(A::worker(w));
        QVERIFY(ui.write->isEnabled());
    }

    // A run still going (a remote start polls while the General tab is shown)
    // is stopped by Read and by Write, whose own jobs then run.
    void readAndWriteStopARunningWorker()
    {
        BoardEmulator emu;
        QVERIFY(emu.start());
        MainWindow w(false, 1024);
        Form ui(w);
        QVERIFY(readBoard(w, emu));
        QUdpThread *worker = A::worker(w);
        auto startPolling = [&] {
            emu.clearRequests();
            worker->mode = QUdpThread::ModePoll;
            worker->start();
            return QTest::qWaitFor([&] { return countRequests(emu, false, 7) >= 1; }, 10000);
        };

        QVERIFY(startPolling());
        ui.textEdit->clear();
        emu.clearRequests();
        ui.read->click();
        QTRY_VERIFY_WITH_TIMEOUT(ui.read->isEnabled() && tabsEnabled(w, true), 15000);
        QVERIFY(!ui.textEdit->toPlainText().isEmpty());
        QVERIFY(hasRequest(emu, false, 0x80, 32));
        QCOMPARE(A::worker(w), worker);

        QVERIFY(startPolling());
        ui.newAddr->setText(QStringLiteral("127.1.2.31"));
        ui.newTcp->setText(QStringLiteral("24"));
        ui.newUdp->setText(QStringLiteral("4660"));
        ui.write->click();
        QTRY_VERIFY_WITH_TIMEOUT(ui.read->isEnabled() && tabsEnabled(w, true), 15000);
        QCOMPARE(emu.infoBlock().mid(8, 4), QByteArray::fromHex("7f01021f"));
    }

    // An EEPROM save under way on a slow board is not cut short by a tab
    // switch, Read or Write, nor does it hold the window up: the action
    // returns at once, all eight page writes and the close reach the board,
    // then the new job runs.
    void saveRunsToItsEnd_data()
    {
        QTest::addColumn<QString>("action");
        QTest::newRow("tab switch") << "tab";
        QTest::newRow("read") << "read";
        QTest::newRow("read another board") << "other";
        QTest::newRow("write") << "write";
    }

    void saveRunsToItsEnd()
    {
        QFETCH(QString, action);
        BoardEmulator emu;
        QVERIFY(emu.start());
        BoardEmulator other;
        QVERIFY(other.start());
        MainWindow w(false, 1024);
        Form ui(w);
        QVERIFY(readBoard(w, emu));
        ui.tabWidget->setCurrentIndex(3);
        Form::find<QComboBox>(w, "page")->setCurrentIndex(2);
        emu.setEepromPage(2, QByteArray(32, '\0'));
        const QByteArray page = emu.registers().mid(16, 32);
        QPointer<QUdpThread> worker = A::worker(w);

        ModalAnswerer answerer; // any other box fails the test
        answerer.answer(QMessageBox::Ok);
        emu.clearRequests();
        emu.setFault(BoardEmulator::DelayReplies, 150);
        Form::find<QPushButton>(w, "saveROM")->click();
        QCOMPARE(answerer.count(), 1);
        // The first page write is on its way.
        QTRY_VERIFY_WITH_TIMEOUT(hasRequest(emu, true, 0xC0, 4), 10000);
        QVERIFY(worker->isRunning());

        if (action == QLatin1String("tab")) {
            ui.tabWidget->setCurrentIndex(1);
        } else if (action == QLatin1String("write")) {
            ui.newAddr->setText(QStringLiteral("127.1.2.32"));
            ui.newTcp->setText(QStringLiteral("24"));
            ui.newUdp->setText(QStringLiteral("4660"));
            ui.write->click();
        } else {
            if (action == QLatin1String("other"))
                ui.udp->setText(QString::number(other.udpPort()));
            ui.read->click();
        }
        auto saveWrites = [&emu] {
            QList<BoardEmulator::Request> writes;
            const QList<BoardEmulator::Request> log = emu.requests();
            for (const BoardEmulator::Request &r : log)
                if (r.write && (r.address == 5 || (r.address >= 0x80 && r.address < 0x100)))
                    writes << r;
            return writes;
        };
        // Back in the event loop long before the save's dozen slow replies,
        // with the tabs locked until the new job has run, and the status
        // line saying why.
        QVERIFY(saveWrites().size() < 10);
        QVERIFY(!ui.tabWidget->isEnabled());
        QCOMPARE(w.statusBar()->currentMessage(), QStringLiteral(" saving to EEPROM..."));
        QTRY_COMPARE_WITH_TIMEOUT(saveWrites().size(), 10, 15000);
        emu.clearFaults();
        const QList<BoardEmulator::Request> save = saveWrites();
        QCOMPARE(save.first().data, QByteArray(1, char(0x80)));
        for (int k = 0; k < 8; ++k)
            QCOMPARE(save.at(1 + k).address, quint32(0xC0 + 4 * k));
        QCOMPARE(save.last().address, quint32(5));
        QCOMPARE(save.last().data, QByteArray(1, '\0'));
        QCOMPARE(emu.reg(5), quint8(0));
        QCOMPARE(emu.eepromPage(2), page);

        // The new job runs to its end (the save itself reads only page 2).
        if (action == QLatin1String("tab"))
            QTRY_VERIFY_WITH_TIMEOUT(countRequests(emu, false, 7) >= 2, 10000);
        if (action == QLatin1String("read"))
            QTRY_VERIFY_WITH_TIMEOUT(countRequests(emu, false, 0x80) >= 1, 10000);
        if (action == QLatin1String("write"))
            QTRY_COMPARE_WITH_TIMEOUT(emu.infoBlock().mid(8, 4), QByteArray::fromHex("7f010220"), 10000);
        if (action == QLatin1String("other"))
            QTRY_VERIFY_WITH_TIMEOUT(hasRequest(other, false, 0, 48), 10000);
        if (action != QLatin1String("tab"))
            QTRY_VERIFY_WITH_TIMEOUT(ui.read->isEnabled() && tabsEnabled(w, true), 15000);
        QVERIFY(ui.tabWidget->isEnabled());
        QCOMPARE(answerer.count(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(w.statusBar()->currentMessage(), QString(), 10000);
    }

    // Jobs that wait for a flush which then fails go on only once the link
    // error's box has been answered: a Read of another board completes, a
    // tab switch finds no worker to start, and a register write that can no
    // longer be made says so in the status line.
    void jobsAfterTheLinkErrorBox_data()
    {
        QTest::addColumn<QString>("action");
        QTest::newRow("read another board") << "read";
        QTest::newRow("tab switch") << "tab";
        QTest::newRow("ok") << "ok";
    }

    void jobsAfterTheLinkErrorBox()
    {
        QFETCH(QString, action);
        BoardEmulator emu;
        QVERIFY(emu.start());
        BoardEmulator other;
        QVERIFY(other.start());
        MainWindow w(false, 1024);
        Form ui(w);
        QVERIFY(readBoard(w, emu));
        ui.tabWidget->setCurrentIndex(2);
        QTRY_VERIFY_WITH_TIMEOUT(!A::worker(w)->isRunning(), 10000);
        A::worker(w)->setTimeout(1);
        A::worker(w)->setRetry(1);
        auto *config = Form::find<QLineEdit>(w, "config");
        auto *ok = Form::find<QPushButton>(w, "ok");

        ModalAnswerer answerer;
        answerer.answer(QMessageBox::Ok); // the question
        emu.setFault(BoardEmulator::DropReplies);
        config->setText(QStringLiteral("0x0B"));
        ok->click(); // its flush fails after a second
        if (action == QLatin1String("read")) {
            ui.udp->setText(QString::number(other.udpPort()));
            ui.read->click();
        } else if (action == QLatin1String("tab")) {
            ui.tabWidget->setCurrentIndex(1);
        } else {
            answerer.answer(QMessageBox::Ok);
            config->setText(QStringLiteral("0x0C"));
            ok->click();
        }
        QVERIFY(!ui.tabWidget->isEnabled());
        bool waitedInBox = false;
        answerer.answerWith([&](QWidget *box) {
            QTest::qWait(300);
            waitedInBox = other.requests().isEmpty() && !ui.tabWidget->isEnabled();
            qobject_cast<QMessageBox *>(box)->button(QMessageBox::Ok)->click();
        });
        QVERIFY(answerer.waitForBoxes(action == QLatin1String("ok") ? 3 : 2, 20000));
        QVERIFY(waitedInBox);
        QVERIFY(answerer.last().text.endsWith(QStringLiteral("QTelvo: Socket operation timed out")));
        emu.clearFaults();
        if (action == QLatin1String("read")) {
            QTRY_VERIFY_WITH_TIMEOUT(ui.read->isEnabled() && tabsEnabled(w, true), 10000);
            QVERIFY(hasRequest(other, false, 0, 48));
        } else {
            QTest::qWait(300);
            QVERIFY(!A::worker(w));
            QVERIFY(tabsEnabled(w, false));
            QCOMPARE(ui.tabWidget->currentIndex(), 0);
        }
        if (action == QLatin1String("ok"))
            QCOMPARE(w.statusBar()->currentMessage(),
                     QStringLiteral(" Register settings not written: the board link was lost"));
        QVERIFY(ui.tabWidget->isEnabled());
    }

    // Signals of a worker that is not the window's current one carry
    // pointers into an object on its way out: they are not acted upon.
    void otherWorkerIsIgnored()
    {
        BoardEmulator emu;
        QVERIFY(emu.start());
        MainWindow w(false, 1024);
        Form ui(w);
        QVERIFY(readBoard(w, emu));
        QUdpThread *worker = A::worker(w);
        const QString report = ui.textEdit->toPlainText();

        ModalAnswerer answerer; // any box fails the test
        QUdpThread stray(&w);
        QString text = QStringLiteral("QTelvo: Socket operation timed out");
        emit stray.received(text);
        emit stray.error(text);
        emit stray.closed(false);
        QCOMPARE(answerer.count(), 0);
        QCOMPARE(A::worker(w), worker);
        QCOMPARE(ui.textEdit->toPlainText(), report);
        QVERIFY(A::errorText(w).isEmpty());
        QVERIFY(tabsEnabled(w, true));
        QVERIFY(ui.write->isEnabled());
    }

    void streamErrorIsReported()
    {
        MainWindow w(false, 1024);
        ModalAnswerer answerer;
        answerer.answer(QMessageBox::Ok);
        w.error(QStringLiteral("QTcpThread: connection refused"));
        QCOMPARE(answerer.count(), 1);
        checkWarning(answerer.last(), QStringLiteral("QTcpThread: connection refused"));
        QCOMPARE(A::errorText(w), QStringLiteral("QTcpThread: connection refused"));
    }

    void directoryChooser()
    {
        MainWindow w(false, 1024);
        Form ui(w);
        QTemporaryDir inside(QDir::currentPath() + QStringLiteral("/chooserXXXXXX"));
        QVERIFY(inside.isValid());
        const QString sub = inside.path() + QStringLiteral("/runs");
        QVERIFY(QDir().mkpath(sub));

        ModalAnswerer answerer;
        answerer.answerWith([&](QWidget *dlg) {
            auto *fd = qobject_cast<QFileDialog *>(dlg);
            QVERIFY(fd);
            fd->reject();
        });
        ui.path->setText(QStringLiteral("data"));
        w.on_toolButton_clicked();
        QCOMPARE(answerer.count(), 1);
        QCOMPARE(ui.path->text(), QStringLiteral("data"));

        answerer.answerWith([&](QWidget *dlg) {
            auto *fd = qobject_cast<QFileDialog *>(dlg);
            QVERIFY(fd);
            QCOMPARE(fd->windowTitle(), QStringLiteral("Open Directory"));
            fd->setDirectory(sub);
            static_cast<QDialog *>(fd)->accept();
        });
        ui.path->setText(QString());
        w.on_toolButton_clicked();
        QCOMPARE(answerer.count(), 2);
        const QString expected = QDir::toNativeSeparators(QDir::current().relativeFilePath(sub));
        QCOMPARE(ui.path->text(), expected);
        QVERIFY(!expected.startsWith(QLatin1Char('/')));
    }
};

QTEST_MAIN(TestConnection)
#include "tst_connection.moc"
