// The command language through real TCP clients against the real window and
// the board emulator: every command, its replies and NG texts, deferred
// replies after the board got the write, ReadReply bytes and log lines.
#include "blackhole.h"
#include "serverrig.h"
#include "ui_mainwindow.h"

#include <QSignalSpy>

using namespace rig;

namespace {

const QByteArray Help = "single :start a sampling only once\r\n"
                        "start :start a consecutive sampling\r\n"
                        "stop :stop sampling\r\n"
                        "condition [setup/idle] :set/show DRS4 PLL condition\r\n"
                        "rate [1/2/3/5] :set/show sampling rate\r\n"
                        "trigger [NIM0/NIM1/ch[0-15]] :set/show trigger source\r\n"
                        "delay [0-255] :set/show trigger delay\r\n"
                        "help :show this message\r\n"
                        "quit :finish this connection\r\n"
                        "Zentrofa>";

} // namespace

class TestCommands : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { installFailOnWarnings(); }

    void greetingAndLogLines()
    {
        Rig r;
        QVERIFY(r.open());
        auto c = r.client();
        QVERIFY(c);
        QCOMPARE(c->ask("\r\n"), QByteArray("Zentrofa>"));
        QCOMPARE(c->ask("   \n"), QByteArray("Zentrofa>"));
        QCOMPARE(c->ask("bogus word\r\n"), QByteArray("Unknown Command: bogus\r\nZentrofa>"));
        c->socket.disconnectFromHost();
        QTRY_COMPARE(A::clients(r.w).size(), 0);
        QCOMPARE(unstamped(r.log()),
                 QStringLiteral("The server is running on port:%1\n"
                                "\n<T>Connection ID: 0\nOK:Connected\n"
                                "<T>Client[0] \n"
                                "<T>Client[0]    \n"
                                "<T>Client[0] bogus word\n"
                                "Unknown Command: bogus\n"
                                "<T>Disconnect 0\n")
                     .arg(r.port()));
        QVERIFY(r.port() != 0);
    }

    void helpUnknownAndCase()
    {
        Rig r;
        QVERIFY(r.open());
        auto c = r.client();
        QVERIFY(c);
        QCOMPARE(c->ask("help\r\n"), Help);
        QCOMPARE(c->ask("?\n"), Help);
        QCOMPARE(c->ask("  help   \r"), Help);
        QCOMPARE(c->ask("READ\r\n"), QByteArray("Unknown Command: READ\r\nZentrofa>"));
        QCOMPARE(c->ask("rate\t1\r\n"), QByteArray("Unknown Command: rate\t1\r\nZentrofa>"));
        QCOMPARE(c->ask("Quit\r\n"), QByteArray("Unknown Command: Quit\r\nZentrofa>"));
        QCOMPARE(c->socket.state(), QAbstractSocket::ConnectedState);
        // Latin-1 both ways.
        QCOMPARE(c->ask("\xe9t\xe9\r\n"), QByteArray("Unknown Command: \xe9t\xe9\r\nZentrofa>"));
        QVERIFY(r.log().contains(QStringLiteral("Client[0] \u00e9t\u00e9\n")));
    }

    void rateShowSetAndDeferred()
    {
        Rig r;
        QVERIFY(r.open());
        auto c = r.client();
        QVERIFY(c);
        QCOMPARE(r.ui()->sampling->currentIndex(), 0);
        r.emu.clearRequests();
        QCOMPARE(c->ask("rate\r\n"), QByteArray("OK\r\nrate:1 ns\r\nZentrofa>"));
        QCOMPARE(c->ask("rate 1 2\r\n"), QByteArray("OK\r\nrate:1 ns\r\nZentrofa>"));
        QCOMPARE(c->ask("rate 4\r\n"), QByteArray("NG:invalid parameter for rate - 4\r\nrate:1 ns\r\nZentrofa>"));
        QCOMPARE(c->ask("rate 1\r\n"), QByteArray("OK\r\nrate:1 ns\r\nZentrofa>"));
        QVERIFY(!A::worker(r.w)->isRunning());
        QVERIFY(r.emu.requests().isEmpty());

        const quint8 old = r.emu.reg(20);
        // The board's answer to the first try is lost: the reply waits for
        // the worker's second try, so both tries are in the log by then.
        r.emu.setFault(BoardEmulator::DropReplies, 1);
        c->write("rate 5\r\n");
        const QByteArray reply = c->take();
        const QList<int> writes = writesTo(r.emu, 20);
        QCOMPARE(reply, QByteArray("OK\r\nrate:1/5 ns\r\nZentrofa>"));
        QCOMPARE(writes, (QList<int>{(old & 0xFC) | 3, (old & 0xFC) | 3}));
        QCOMPARE(r.ui()->sampling->currentIndex(), 3);
        QVERIFY(r.log().endsWith(QStringLiteral("Client[0] rate 5\nOK\nrate:1/5 ns\n")));
    }

    void triggerSources()
    {
        Rig r;
        QVERIFY(r.open());
        auto c = r.client();
        QVERIFY(c);
        for (const char *bad : {"ch16", "ch", "xch3", "CH3", "ch-1", "nim0"}) {
            const QByteArray expect = QByteArray("NG:invalid parameter for trigger - ") + bad + "\r\ntrigger:"
                + r.ui()->comboBox->currentText().toLatin1() + "\r\nZentrofa>";
            QCOMPARE(c->ask(QByteArray("trigger ") + bad + "\r\n"), expect);
        }
        r.emu.clearRequests();
        r.ui()->rise->setChecked(true);
        QCOMPARE(c->ask("trigger ch03\r\n"), QByteArray("OK\r\ntrigger:Ch.3\r\nZentrofa>"));
        QCOMPARE(writesTo(r.emu, 16), QList<int>{0x13});
        QCOMPARE(c->ask("trigger ch3\r\n"), QByteArray("OK\r\ntrigger:Ch.3\r\nZentrofa>"));
        QCOMPARE(c->ask("trigger ch15\r\n"), QByteArray("OK\r\ntrigger:Ch.15\r\nZentrofa>"));
        r.ui()->fall->setChecked(true);
        QCOMPARE(c->ask("trigger NIM1\r\n"), QByteArray("OK\r\ntrigger:NIM-IN1\r\nZentrofa>"));
        // The threshold inputs follow the source (their tab is locked meanwhile).
        QVERIFY(r.ui()->Vth->testAttribute(Qt::WA_ForceDisabled));
        QCOMPARE(c->ask("trigger ch0\r\n"), QByteArray("OK\r\ntrigger:Ch.0\r\nZentrofa>"));
        QVERIFY(!r.ui()->Vth->testAttribute(Qt::WA_ForceDisabled));
        QCOMPARE(writesTo(r.emu, 16), (QList<int>{0x13, 0x1F, 0x21, 0x30}));
        QCOMPARE(r.emu.reg(16), quint8(0x30));
        QCOMPARE(c->ask("trigger\r\n"), QByteArray("OK\r\ntrigger:Ch.0\r\nZentrofa>"));
    }

    void delayValues()
    {
        Rig r;
        QVERIFY(r.open());
        auto c = r.client();
        QVERIFY(c);
        const int d = r.emu.reg(17);
        const QByteArray echo = QByteArray("delay:") + QByteArray::number(d) + "(" + r.ui()->delay->text().toLatin1()
            + "ns)\r\nZentrofa>";
        QCOMPARE(c->ask("delay 256\r\n"), "NG:invalid parameter for delay - 256\r\n" + echo);
        QCOMPARE(c->ask("delay -1\r\n"), "NG:invalid parameter for delay - -1\r\n" + echo);
        QCOMPARE(c->ask("delay x\r\n"), "NG:invalid parameter for delay - x\r\n" + echo);
        r.emu.clearRequests();
        QCOMPARE(d, 10);
        QCOMPARE(c->ask("delay 10\r\n"), QByteArray("OK\r\ndelay:10(64ns)\r\nZentrofa>"));
        QVERIFY(r.emu.requests().isEmpty());
        QCOMPARE(c->ask("delay 12\r\n"), QByteArray("OK\r\ndelay:12(76.8ns)\r\nZentrofa>"));
        QCOMPARE(writesTo(r.emu, 17), QList<int>{12});
        QCOMPARE(c->ask("delay 255\r\n"), QByteArray("OK\r\ndelay:255(1632ns)\r\nZentrofa>"));
        QCOMPARE(c->ask("delay 1\r\n"), QByteArray("OK\r\ndelay:1(6.4ns)\r\nZentrofa>"));
        // The echo shows the line edit, also an unapplied value typed there.
        r.ui()->delay->setText(QStringLiteral("99"));
        QCOMPARE(c->ask("delay\r\n"), QByteArray("OK\r\ndelay:1(99ns)\r\nZentrofa>"));
        QCOMPARE(writesTo(r.emu, 17), (QList<int>{12, 255, 1}));
    }

    void conditionToggles()
    {
        Rig r;
        QVERIFY(r.open());
        auto c = r.client();
        QVERIFY(c);
        QCOMPARE(c->ask("condition\r\n"), QByteArray("OK\r\ncondition:idle\r\nZentrofa>"));
        QCOMPARE(c->ask("condition idle\r\n"), QByteArray("NG:Already set to idle\r\ncondition:idle\r\nZentrofa>"));
        QCOMPARE(c->ask("condition up\r\n"),
                 QByteArray("NG:invalid parameter for condition - up\r\ncondition:idle\r\nZentrofa>"));

        // Refused by the window's trigger check: NG at once, nothing written.
        r.emu.clearRequests();
        r.ui()->Vth->setText(QStringLiteral("abc"));
        QCOMPARE(c->ask("condition setup\r\n"),
                 QByteArray("NG:Invalid Trigger Vth: abc\r\ncondition:idle\r\nZentrofa>"));
        r.ui()->Vth->setText(QStringLiteral("-20"));
        r.ui()->delay->setText(QStringLiteral("2000"));
        QCOMPARE(c->ask("condition setup\r\n"),
                 QByteArray("NG:Invalid Trigger Delay: 2000\r\ncondition:idle\r\nZentrofa>"));
        QVERIFY(!A::setup(r.w));
        QCOMPARE(r.answerer.count(), 0);
        QVERIFY(!A::worker(r.w)->isRunning());
        QVERIFY(r.emu.requests().isEmpty());

        r.ui()->delay->setText(QStringLiteral("64"));
        QCOMPARE(c->ask("condition setup\r\n"), QByteArray("OK\r\ncondition:setup\r\nZentrofa>"));
        QCOMPARE(writesTo(r.emu, 4), QList<int>{0x80});
        QCOMPARE(r.emu.reg(17), quint8(10));
        QCOMPARE(r.emu.reg(18) << 8 | r.emu.reg(19), 0xFFEC);
        QVERIFY(A::setup(r.w));
        QCOMPARE(c->ask("condition setup\r\n"), QByteArray("NG:Already setup\r\ncondition:setup\r\nZentrofa>"));
        const QByteArray idleOnly = "NG:Unable to execute. Please retry on idle.\r\nZentrofa>";
        QCOMPARE(c->ask("rate 2\r\n"), idleOnly);
        QCOMPARE(c->ask("trigger\r\n"), idleOnly);
        QCOMPARE(c->ask("delay 3\r\n"), idleOnly);
        QCOMPARE(c->ask("condition idle\r\n"), QByteArray("OK\r\ncondition:idle\r\nZentrofa>"));
        QCOMPARE(writesTo(r.emu, 4), (QList<int>{0x80, 0x00}));
        QVERIFY(!A::setup(r.w));
    }

    void readReplies()
    {
        Rig r;
        QVERIFY(r.open());
        auto c = r.client();
        QVERIFY(c);
        c->write("read\r\n");
        QCOMPARE(c->takeRead(), QByteArray("\x00\x00Zentrofa>", 11));
        QVERIFY(r.log().endsWith(QStringLiteral("Client[0] read\nOK:0word(0byte) data transferred\n")));

        r.emu.clearRequests();
        QCOMPARE(c->ask("single\r\n"), QByteArray("OK\r\nZentrofa>"));
        QVERIFY(r.log().endsWith(QStringLiteral("Client[0] single\nOK\n")));
        QVERIFY(A::stream(r.w));
        QTRY_VERIFY_WITH_TIMEOUT(A::event(r.w).size() == 32772, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!A::running(r.w) && !A::stream(r.w), 10000);
        QCOMPARE(writesTo(r.emu, 4), (QList<int>{0x20, 0x10}));

        c->write("read\r\n");
        const QByteArray reply = c->takeRead();
        QCOMPARE(reply.size(), 2 + 32768 + 9);
        QCOMPARE(reply.left(2), QByteArray("\x40\x00", 2));
        QCOMPARE(reply.mid(2, 32768), r.emu.sentBlocks().value(0).mid(4));
        QVERIFY(reply.endsWith(Prompt));
        QVERIFY(r.log().endsWith(QStringLiteral("Client[0] read\nOK:16384word(32768byte) data transferred\n")));
        QVERIFY(A::event(r.w).isEmpty());
        QVERIFY(!r.ui()->graph->isEnabled());
        c->write("read\r\n");
        QCOMPARE(c->takeRead(), QByteArray("\x00\x00Zentrofa>", 11));

        // Nothing runs any more.
        QCOMPARE(c->ask("stop\r\n"), QByteArray("NG\r\nAlready stopped\r\nZentrofa>"));
        QVERIFY(r.log().endsWith(QStringLiteral("Client[0] stop\nNG:Already stopped\n")));
    }

    // A finished single's stream still ends behind it: the next single is
    // accepted all the same, and a set command's reply still arrives.
    void singleAfterSingle()
    {
        Rig r;
        QVERIFY(r.open());
        auto c = r.client();
        QVERIFY(c);
        for (int round = 0; round < 2; ++round) {
            r.emu.clearRequests();
            QCOMPARE(c->ask("single\r\n"), QByteArray("OK\r\nZentrofa>"));
            QByteArray reply;
            const QDeadlineTimer deadline(15000);
            while (reply.size() != 2 + 32768 + 9 && !deadline.hasExpired()) {
                c->write("read\r\n");
                reply = c->takeRead();
            }
            QCOMPARE(reply.size(), 2 + 32768 + 9);
            QVERIFY(!A::running(r.w));
            QCOMPARE(writesTo(r.emu, 4), (QList<int>{0x20, 0x10}));
        }
        // A slow write right after the event, mostly while the stream still
        // ends: the stream's end must not cut the flush run short and lose
        // its reply.
        QCOMPARE(c->ask("single\r\n"), QByteArray("OK\r\nZentrofa>"));
        QTRY_VERIFY_WITH_TIMEOUT(!A::event(r.w).isEmpty() && !A::running(r.w), 10000);
        r.emu.clearRequests();
        r.emu.setFault(BoardEmulator::DelayReplies, 400);
        QCOMPARE(c->ask("rate 3\r\n"), QByteArray("OK\r\nrate:1/3 ns\r\nZentrofa>"));
        QCOMPARE(writesTo(r.emu, 20).size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!A::stream(r.w), 10000);
    }

    void startAndStop()
    {
        BoardEmulator::Options opts;
        opts.rate = 50;
        opts.recordBlocks = false;
        Rig r(opts);
        QVERIFY(r.open());
        auto c = r.client();
        QVERIFY(c);
        r.emu.clearRequests();
        QCOMPARE(c->ask("start\r\n"), QByteArray("OK\r\nZentrofa>"));
        QVERIFY(A::running(r.w));
        QCOMPARE(c->ask("start\r\n"), QByteArray("NG\r\nAlready started\r\nZentrofa>"));
        QCOMPARE(c->ask("single\r\n"), QByteArray("NG\r\nAlready started\r\nZentrofa>"));
        QVERIFY(r.log().endsWith(QStringLiteral("Client[0] single\nNG:Already started\n")));
        const QByteArray afterStop = "NG:Unable to execute. Please retry after stop.\r\nZentrofa>";
        QCOMPARE(c->ask("condition\r\n"), afterStop);
        QCOMPARE(c->ask("rate 2\r\n"), afterStop);
        QCOMPARE(c->ask("trigger ch1\r\n"), afterStop);
        QCOMPARE(c->ask("delay\r\n"), afterStop);
        QTRY_VERIFY_WITH_TIMEOUT(r.emu.blocksSent() >= 3, 10000);
        c->write("read\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(!A::event(r.w).isEmpty() || c->socket.bytesAvailable() > 0, 5000);
        const QByteArray rr = c->takeRead();
        QVERIFY(rr.size() == 11 || rr.size() == 2 + 32768 + 9);

        c->write("stop\r\n");
        const QByteArray ok = c->take();
        const QList<int> writes = writesTo(r.emu, 4);
        QCOMPARE(ok, QByteArray("OK\r\nZentrofa>"));
        QCOMPARE(writes, (QList<int>{0x60, 0x10}));
        QVERIFY(!A::running(r.w));
        QTRY_VERIFY_WITH_TIMEOUT(!A::stream(r.w), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!A::worker(r.w)->isRunning(), 5000);
        QVERIFY(!r.emu.executing());
        QCOMPARE(c->ask("stop\r\n"), QByteArray("NG\r\nAlready stopped\r\nZentrofa>"));
        // The tabs stay as the server keeps them.
        QVERIFY(!r.ui()->tabWidget->isTabEnabled(0));
        QVERIFY(!r.ui()->tabWidget->isTabEnabled(1));
    }

    // A stream still connecting refuses a second start; stop does not count
    // it as running; its error reaches only the client of the last command.
    void connectingStreamAndStreamError()
    {
        Rig r;
        QVERIFY(r.open());
        BlackHole hole;
        QVERIFY(hole.full);
        r.ui()->tcp->setText(QString::number(hole.port));
        auto a = r.client();
        auto b = r.client();
        QVERIFY(a && b);
        a->write("start\r\n");
        QTRY_VERIFY(A::stream(r.w));
        QCOMPARE(b->ask("start\r\n"), QByteArray("NG\r\nAlready started\r\nZentrofa>"));
        QCOMPARE(b->ask("stop\r\n"), QByteArray("NG\r\nAlready stopped\r\nZentrofa>"));
        // A set command would stop the polling that must send the start bit
        // once the stream stands: refused as while running.
        r.emu.clearRequests();
        const QByteArray afterStop = "NG:Unable to execute. Please retry after stop.\r\nZentrofa>";
        QCOMPARE(b->ask("rate 2\r\n"), afterStop);
        QCOMPARE(b->ask("condition setup\r\n"), afterStop);
        QVERIFY(A::worker(r.w)->isRunning());
        QCOMPARE(r.ui()->sampling->currentIndex(), 0);
        QVERIFY(writesTo(r.emu, 20).isEmpty() && writesTo(r.emu, 4).isEmpty());
        // a's next line waits for its start's reply, so b's command is the
        // latest: b gets the stream error, then a its answer.
        a->write("help\r\n");
        r.answerer.answer(QMessageBox::Ok);
        const QByteArray err = b->take(15000);
        QVERIFY2(err.startsWith("NG\r\nTCP error! - ") && err.endsWith("\r\nZentrofa>"), err.constData());
        QVERIFY(r.answerer.waitForBoxes(1, 10000));
        QCOMPARE(r.answerer.last().text, A::errorText(r.w));
        QCOMPARE(err, "NG\r\nTCP error! - " + A::errorText(r.w).toLatin1() + "\r\nZentrofa>");
        QVERIFY(r.log().contains(QStringLiteral("NG\nTCP error! - ") + A::errorText(r.w) + QStringLiteral("\n")));
        QCOMPARE(a->take(), Help);
        QVERIFY(b->silent(200));
        QTRY_VERIFY_WITH_TIMEOUT(!A::stream(r.w), 10000);
        QVERIFY(A::serverRunning(r.w));
        QVERIFY(!A::worker(r.w)->isRunning());
    }

    // After a stream error the acquisition still counts as running; stop
    // writes the stop bit (the worker is not polling any more) before OK.
    void stopAfterStreamError()
    {
        BoardEmulator::Options opts;
        opts.rate = 50;
        opts.recordBlocks = false;
        Rig r(opts);
        QVERIFY(r.open());
        auto c = r.client();
        QVERIFY(c);
        r.emu.setFault(BoardEmulator::CloseMidBlock, 2);
        r.answerer.answer(QMessageBox::Ok);
        QCOMPARE(c->ask("start\r\n"), QByteArray("OK\r\nZentrofa>"));
        const QByteArray err = c->take(15000);
        QVERIFY2(err.startsWith("NG\r\nTCP error! - "), err.constData());
        QVERIFY(r.answerer.waitForBoxes(1, 10000));
        QTRY_VERIFY_WITH_TIMEOUT(!A::stream(r.w), 10000);
        QVERIFY(!A::worker(r.w)->isRunning());
        QVERIFY(A::running(r.w));

        QCOMPARE(c->ask("start\r\n"), QByteArray("NG\r\nAlready started\r\nZentrofa>"));
        QCOMPARE(c->ask("single\r\n"), QByteArray("NG\r\nAlready started\r\nZentrofa>"));
        QCOMPARE(c->ask("rate\r\n"), QByteArray("NG:Unable to execute. Please retry after stop.\r\nZentrofa>"));
        r.emu.clearRequests();
        c->write("stop\r\n");
        const QByteArray ok = c->take();
        const QList<int> writes = writesTo(r.emu, 4);
        QCOMPARE(ok, QByteArray("OK\r\nZentrofa>"));
        QCOMPARE(writes, QList<int>{0x10});
        QVERIFY(!A::running(r.w));
    }

    void badStreamTargetAndNoBoard()
    {
        Rig r;
        QVERIFY(r.open());
        auto c = r.client();
        QVERIFY(c);
        r.emu.clearRequests();
        r.ui()->tcp->setText(QStringLiteral("0"));
        QCOMPARE(c->ask("start\r\n"), QByteArray("NG\r\nInvalid Port Number: 0\r\nZentrofa>"));
        r.ui()->tcp->setText(QStringLiteral("70000"));
        QCOMPARE(c->ask("single\r\n"), QByteArray("NG\r\nInvalid Port Number: 70000\r\nZentrofa>"));
        r.ui()->tcp->setText(QString::number(r.emu.tcpPort()));
        r.ui()->address->setText(QStringLiteral("no.where"));
        QCOMPARE(c->ask("single\r\n"), QByteArray("NG\r\nInvalid IP Address: no.where\r\nZentrofa>"));
        QVERIFY(r.log().endsWith(QStringLiteral("NG:Invalid IP Address: no.where\n")));
        QVERIFY(!A::stream(r.w));
        QVERIFY(!A::worker(r.w)->isRunning());
        QCOMPARE(r.answerer.count(), 0);
        QVERIFY(c->silent(300));
        QVERIFY(r.emu.requests().isEmpty());

        // No board read: every command that needs one says so.
        Rig bare;
        QVERIFY(bare.open(false));
        QVERIFY(!A::worker(bare.w));
        auto d = bare.client();
        QVERIFY(d);
        const QByteArray noBoard = "NG:No board. Please read the board first.\r\nZentrofa>";
        for (const char *cmd : {"condition", "condition setup", "rate", "rate 2", "trigger ch1", "delay", "delay 3"})
            QCOMPARE(d->ask(QByteArray(cmd) + "\r\n"), noBoard);
        QCOMPARE(d->ask("single\r\n"), QByteArray("NG\r\nNo board. Please read the board first.\r\nZentrofa>"));
        QCOMPARE(d->ask("start\r\n"), QByteArray("NG\r\nNo board. Please read the board first.\r\nZentrofa>"));
        QCOMPARE(d->ask("help\r\n"), Help);
        d->write("read\r\n");
        QCOMPARE(d->takeRead(), QByteArray("\x00\x00Zentrofa>", 11));
    }

    // One pending reply for all clients: it goes to the client of the latest
    // command. A second set command waits for the first one's run, so both
    // are answered, in order, each after its own write reached the board.
    // A reply whose client has gone is sent to nobody.
    void oneDeferredReplyForAll()
    {
        Rig r;
        QVERIFY(r.open());
        auto a = r.client();
        auto b = r.client();
        QVERIFY(a && b);
        r.emu.clearRequests();
        r.emu.setFault(BoardEmulator::DelayReplies, 300);
        a->write("rate 2\r\n");
        QTRY_VERIFY(r.log().contains(QStringLiteral("Client[0] rate 2\n")));
        QCOMPARE(b->ask("help\r\n"), Help);
        QCOMPARE(b->take(), QByteArray("OK\r\nrate:1/2 ns\r\nZentrofa>"));
        QVERIFY(a->silent(100));

        a->write("rate 3\r\n");
        QTRY_VERIFY(r.log().contains(QStringLiteral("Client[0] rate 3\n")));
        b->write("delay 5\r\n");
        QCOMPARE(a->take(), QByteArray("OK\r\nrate:1/3 ns\r\nZentrofa>"));
        QCOMPARE(b->take(), QByteArray("OK\r\ndelay:5(32ns)\r\nZentrofa>"));
        QCOMPARE(writesTo(r.emu, 20).size(), 2);
        QCOMPARE(writesTo(r.emu, 17), QList<int>{5});
        const QList<BoardEmulator::Request> log = writes(r.emu);
        QCOMPARE(log.last().address, quint32(17));
        QVERIFY(a->silent(300) && b->silent(0));

        // a disconnects before its reply: nobody gets it.
        a->write("trigger NIM0\r\n");
        QTRY_VERIFY(r.log().contains(QStringLiteral("Client[0] trigger NIM0\n")));
        a->socket.abort();
        QTRY_VERIFY(r.log().contains(QStringLiteral("Disconnect 0\n")));
        QTRY_COMPARE_WITH_TIMEOUT(writesTo(r.emu, 16).size(), 1, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!A::worker(r.w)->isRunning(), 5000);
        QVERIFY(b->silent(500));
        QVERIFY(!A::current(r.w));
        r.emu.clearFaults();
        QCOMPARE(b->ask("trigger\r\n"), QByteArray("OK\r\ntrigger:NIM-IN0\r\nZentrofa>"));
    }

    // Replies with inner line breaks are sent with CR CR LF there.
    void innerLineBreaks()
    {
        Rig r;
        QVERIFY(r.open());
        auto c = r.client();
        QVERIFY(c);
        c->write("help\r\nquit\r\n");
        QCOMPARE(c->take(), QByteArray("Unknown Command: help\r\r\nquit\r\nZentrofa>"));
        QCOMPARE(c->socket.state(), QAbstractSocket::ConnectedState);
        QVERIFY(r.log().endsWith(QStringLiteral("Client[0] help\r\nquit\nUnknown Command: help\r\nquit\n")));

        // A parameter is taken as it stands: an extra line end spoils it
        // for every command alike.
        r.emu.clearRequests();
        for (const char *line : {"rate 2", "trigger ch3", "delay 7"})
            QVERIFY(c->ask(QByteArray(line) + "\r\n\r\n").startsWith("NG:invalid parameter for "));
        QVERIFY(writes(r.emu).isEmpty());
    }

    // A line that comes while the reply to the one before is being written
    // (stop's, after its pause) is handled right after it, on its own.
    void pipelinedLine()
    {
        Rig r;
        QVERIFY(r.open());
        RawClient c;
        QVERIFY(c.open(r.port()));
        QVERIFY(inThread(
            [&c] {
                if (!c.readPrompts(1) || !c.send("start\r\n") || !c.readPrompts(2) || !c.send("stop\r\n"))
                    return;
                QThread::msleep(300);
                c.send("help\r\n");
                c.readPrompts(4, 10000);
            },
            30000));
        QCOMPARE(c.in, "OK:Connected\r\nZentrofa>OK\r\nZentrofa>OK\r\nZentrofa>" + Help);
    }

    // A deferred reply goes out while the client's next line is already
    // waiting (the window was busy meanwhile): the reply is written, the
    // client stays, and the line is handled after it.
    void replyWhileLineWaits()
    {
        Rig r;
        QVERIFY(r.open());
        r.emu.setFault(BoardEmulator::DelayReplies, 200);
        RawClient c;
        QVERIFY(c.open(r.port()));
        std::atomic<bool> windowBusy{false}, done{false};
        std::thread t([&] {
            if (c.readPrompts(1) && c.send("rate 2\r\n")) {
                for (int i = 0; i < 5000 && !windowBusy; ++i)
                    QThread::msleep(1);
                QThread::msleep(50);
                c.send("help\r\n");
                c.readPrompts(3, 10000);
            }
            done = true;
        });
        const bool handled = QTest::qWaitFor([&] { return r.log().contains(QStringLiteral("Client[0] rate 2\n")); }, 5000);
        windowBusy = true;
        // Busy while the flush ends and the next line comes.
        QThread::msleep(500);
        (void)QTest::qWaitFor([&] { return done.load(); }, 15000);
        t.join();
        QVERIFY(handled);
        QCOMPARE(c.in, "OK:Connected\r\nZentrofa>OK\r\nrate:1/2 ns\r\nZentrofa>" + Help);
        QVERIFY(!r.log().contains(QStringLiteral("Failed to send")));
        QCOMPARE(A::clients(r.w).size(), 1);
    }

    // Lines sent one by one behind a command that waits for the write
    // before it are framed as they come and answered in order ("quit"
    // last); when the client closes instead, they are still carried out.
    void linesBehindAWaitingCommand_data()
    {
        QTest::addColumn<bool>("quits");
        QTest::newRow("quit") << true;
        QTest::newRow("close") << false;
    }
    void linesBehindAWaitingCommand()
    {
        QFETCH(bool, quits);
        Rig r;
        QVERIFY(r.open());
        r.ui()->rise->setChecked(true);
        r.emu.clearRequests();
        r.emu.setFault(BoardEmulator::DelayReplies, 300);
        auto c = r.client();
        QVERIFY(c);
        for (const char *line : {"rate 2\r\n", "trigger ch3\r\n", "help\r\n", "delay 7\r\n"}) {
            c->write(line);
            QTest::qWait(50);
        }
        if (quits) {
            c->write("quit\r\n");
            QVERIFY(c->closed(10000));
            QCOMPARE(c->in, "OK\r\nrate:1/2 ns\r\nZentrofa>OK\r\ntrigger:Ch.3\r\nZentrofa>" + Help
                                + "OK\r\ndelay:7(44.8ns)\r\nZentrofa>Bye-Bye!\r\n");
        } else {
            c->socket.disconnectFromHost();
            QTRY_VERIFY_WITH_TIMEOUT(r.log().endsWith(QStringLiteral("delay:7(44.8ns)\n(not sent: the client has gone)\n")),
                                     10000);
        }
        QList<quint32> order;
        for (const BoardEmulator::Request &w : writes(r.emu))
            order << w.address;
        QCOMPARE(order, (QList<quint32>{20, 16, 17}));
        QCOMPARE(writesTo(r.emu, 16), QList<int>{0x13});
        QCOMPARE(writesTo(r.emu, 17), QList<int>{7});
    }

    // A line that reached the server before its client reset the
    // connection, while the reply to the line before was on its way, is
    // still carried out; the failed send is logged before the client goes.
    void lineBeforeAResetIsCarriedOut()
    {
        Rig r;
        QVERIFY(r.open());
        auto b = r.client();
        QVERIFY(b);
        QCOMPARE(b->ask("start\r\n"), QByteArray("OK\r\nZentrofa>"));
        RawClient a;
        QVERIFY(a.open(r.port()));
        QVERIFY(inThread([&] { a.readPrompts(1, 5000); }, 6000));
        std::thread t([&] {
            a.send("stop\r\n");
            QThread::msleep(400); // the window is in the stop's pause now
            a.send("delay 7\r\n");
            QThread::msleep(200);
            linger l = {1, 0};
            ::setsockopt(a.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            ::close(a.fd);
            a.fd = -1;
        });
        QTRY_VERIFY_WITH_TIMEOUT(r.log().contains(QStringLiteral("Disconnect 1\n")), 10000);
        t.join();
        QTRY_COMPARE_WITH_TIMEOUT(writesTo(r.emu, 17), QList<int>{7}, 5000);
        QVERIFY(unstamped(r.log()).contains(
            QStringLiteral("Failed to send to Client 1\n<T>Disconnect 1\nOK\n(not sent: the client has gone)\n")));
        QVERIFY(r.log().contains(QStringLiteral("Client[1] delay 7\n")));
    }

    // A command handled after a run has ended in the worker's thread but
    // before the window has handled that end (the window was busy) waits
    // for it: the pending reply is neither replaced nor lost.
    void commandInTheRunsEndGap_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("set") << QByteArray("delay 7\r\n") << QByteArray("OK\r\ndelay:7(44.8ns)\r\nZentrofa>");
        QTest::newRow("start") << QByteArray("single\r\n") << QByteArray("OK\r\nZentrofa>");
    }
    void commandInTheRunsEndGap()
    {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, reply);
        Rig r;
        QVERIFY(r.open());
        auto a = r.client();
        auto b = r.client();
        QVERIFY(a && b);
        r.emu.setFault(BoardEmulator::DelayReplies, 300);
        a->write("rate 2\r\n");
        QTRY_VERIFY(r.log().contains(QStringLiteral("Client[0] rate 2\n")));
        b->write(line);
        // Without the event loop: the flush ends in its thread, then b's
        // line is handled before the window has seen that end.
        QVERIFY(A::worker(r.w)->wait(5000));
        QVERIFY(QServerSocketAccess::socket(A::clients(r.w).at(1))->waitForReadyRead(5000));
        QCOMPARE(a->take(), QByteArray("OK\r\nrate:1/2 ns\r\nZentrofa>"));
        QCOMPARE(b->take(), reply);
        QVERIFY(a->silent(100));
    }

    // A start that waits for the last stream's end keeps its place: another
    // client's start that comes after it, even before the waiting one has
    // been resumed, is handled after it. The "OK" goes to the client of the
    // latest command, as every deferred reply does.
    void startsKeepTheirOrder()
    {
        Rig r;
        QVERIFY(r.open());
        auto a = r.client();
        auto b = r.client();
        QVERIFY(a && b);
        QCOMPARE(a->ask("single\r\n"), QByteArray("OK\r\nZentrofa>"));
        QTRY_VERIFY_WITH_TIMEOUT(!A::event(r.w).isEmpty() && !A::running(r.w), 10000);
        a->write("single\r\n");
        QTRY_VERIFY(QServerSocketAccess::held(A::clients(r.w).at(0)));
        b->write("single\r\n");
        // Without the event loop: the stream ends and the window handles it,
        // then b's line comes before the waiting start is resumed (unless a
        // slow machine let the stream end before a's line came).
        if (QTcpThread *stream = A::stream(r.w); stream && stream->isDraining()) {
            QVERIFY(stream->wait(20000));
            QCoreApplication::sendPostedEvents(&r.w, QEvent::MetaCall);
        }
        QVERIFY(QServerSocketAccess::socket(A::clients(r.w).at(1))->waitForReadyRead(5000));
        QCOMPARE(b->take(), QByteArray("NG\r\nAlready started\r\nZentrofa>"));
        QCOMPARE(b->take(), QByteArray("OK\r\nZentrofa>"));
        QVERIFY(unstamped(r.log()).endsWith(QStringLiteral("<T>Client[0] single\n<T>Client[1] single\nNG:Already started\nOK\n")));
        QVERIFY(a->silent(100));
    }

    // A client that sends its line and closes its sending side still gets
    // the reply. A deferred reply can no longer reach it: the log says so.
    void halfClosedClient()
    {
        Rig r;
        QVERIFY(r.open());
        RawClient c;
        QVERIFY(c.open(r.port()));
        QVERIFY(inThread(
            [&c] {
                c.send("help\r\n");
                c.shutdownWrite();
                c.readToEnd(10000);
            },
            15000));
        QCOMPARE(c.in, "OK:Connected\r\nZentrofa>" + Help);

        r.emu.setFault(BoardEmulator::DelayReplies, 300);
        RawClient d;
        QVERIFY(d.open(r.port()));
        QVERIFY(inThread(
            [&d] {
                d.send("rate 2\r\n");
                d.shutdownWrite();
                d.readToEnd(10000);
            },
            15000));
        QCOMPARE(d.in, QByteArray("OK:Connected\r\nZentrofa>"));
        QTRY_COMPARE_WITH_TIMEOUT(writesTo(r.emu, 20).size(), 1, 5000);
        QTRY_VERIFY(r.log().endsWith(QStringLiteral("OK\nrate:1/2 ns\n(not sent: the client has gone)\n")));
    }

    // A "read" whose reply cannot be written is not logged as done, and its
    // event stays for the next one.
    void unsentReadKeepsEvent()
    {
        Rig r;
        QVERIFY(r.open());
        const QByteArray event = "\x55\x55\xaa\xaa" + QByteArray(32768, '\x12');
        A::event(r.w) = event;
        RawClient c;
        QVERIFY(c.open(r.port(), 2048));
        QVERIFY(inThread([&c] { c.readPrompts(1); }, 5000));
        // A congested path: less room on the way than one event.
        QTRY_COMPARE(A::clients(r.w).size(), 1);
        const int room = 4096;
        ::setsockopt(int(QServerSocketAccess::socket(A::clients(r.w).first())->socketDescriptor()), SOL_SOCKET,
                     SO_SNDBUF, &room, sizeof room);
        QVERIFY(inThread([&c] { c.send("read\r\n"); }, 5000));
        QTRY_VERIFY_WITH_TIMEOUT(r.log().contains(QStringLiteral("NG:16384word(32768byte) data not transferred\n")),
                                 10000);
        QVERIFY(r.log().contains(QStringLiteral("Failed to send to Client 0\n")));
        QVERIFY(!r.log().contains(QStringLiteral("OK:16384word")));
        QCOMPARE(A::event(r.w), event);
        auto d = r.client();
        QVERIFY(d);
        d->write("read\r\n");
        QCOMPARE(d->takeRead(), QByteArray("\x40\x00", 2) + event.mid(4) + Prompt);
    }
};

QTEST_MAIN(TestCommands)
#include "tst_commands.moc"
