// The server's life cycle in the real window: start and stop, connection
// IDs, the log, listen failures, register-link errors reaching every client,
// and stopping while an acquisition runs.
#include "blackhole.h"
#include "serverrig.h"
#include "ui_mainwindow.h"

#include <QPointer>
#include <QTextBlock>
#include <QTextDocument>

using namespace rig;

class TestServerLife : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { installFailOnWarnings(); }

    void idsAcrossRestartAndStopButton()
    {
        Rig r;
        QVERIFY(r.open());
        // Tabs 0 to 3 are locked while the server runs.
        for (int i = 0; i <= 3; ++i)
            QVERIFY(!r.ui()->tabWidget->isTabEnabled(i));
        QCOMPARE(r.ui()->serverStart->text(), QStringLiteral("&Stop"));
        auto a = r.client();
        auto b = r.client();
        QVERIFY(a && b);
        QCOMPARE(A::clients(r.w).size(), 2);
        QCOMPARE(A::clients(r.w).at(1)->id(), quint64(1));

        // Stop: the clients are closed without a word and without log lines.
        r.ui()->serverStart->click();
        QCOMPARE(r.ui()->serverStart->text(), QStringLiteral("&Start"));
        QVERIFY(!A::server(r.w));
        QVERIFY(A::clients(r.w).isEmpty());
        QVERIFY(a->closed());
        QVERIFY(b->closed());
        QVERIFY(a->in.isEmpty() && b->in.isEmpty());
        QVERIFY(!r.log().contains(QStringLiteral("Disconnect")));
        for (int i = 0; i <= 4; ++i)
            QVERIFY(r.ui()->tabWidget->isTabEnabled(i));

        // Restart: a fresh log, and the IDs go on counting.
        r.ui()->serverStart->click();
        QVERIFY(A::serverRunning(r.w));
        QCOMPARE(unstamped(r.log()), QStringLiteral("The server is running on port:%1\n").arg(r.port()));
        auto c = r.client();
        QVERIFY(c);
        QCOMPARE(A::clients(r.w).at(0)->id(), quint64(2));
        QVERIFY(r.log().contains(QStringLiteral("Connection ID: 2\nOK:Connected\n")));
        c->write("quit\r\n");
        QVERIFY(c->closed());
        QCOMPARE(c->in, QByteArray("Bye-Bye!\r\n"));
        QTRY_VERIFY(A::clients(r.w).isEmpty());
        QVERIFY(unstamped(r.log()).endsWith(QStringLiteral("<T>Client[2] quit\n<T>Disconnect 2\n")));
        QCOMPARE(r.ui()->log->toPlainText(), r.log());
    }

    void listenFailure()
    {
        Rig r;
        QVERIFY(r.open());
        const quint16 taken = r.port();
        // A second window cannot listen on the same port.
        MainWindow other(false, 1024);
        A::ui(other)->serverPort->setValue(taken);
        r.answerer.answer(QMessageBox::Ok);
        A::startServer(other);
        QVERIFY(r.answerer.waitForBoxes(1));
        QCOMPARE(r.answerer.last().text,
                 QStringLiteral("Unable to start the server: ") + QStringLiteral("The bound address is already in use"));
        QCOMPARE(r.answerer.last().title, QString());
        QVERIFY(!A::server(other));
        QVERIFY(!A::serverRunning(other));
        QCOMPARE(A::ui(other)->serverStart->text(), QStringLiteral("&Start"));
        QVERIFY(A::log(other).isEmpty());
    }

    void registerErrorReachesEveryClient()
    {
        Rig r;
        QVERIFY(r.open());
        auto a = r.client();
        auto b = r.client();
        auto c = r.client();
        QVERIFY(a && b && c);
        c->socket.abort();
        QTRY_COMPARE(A::clients(r.w).size(), 2);
        r.emu.setFault(BoardEmulator::DropReplies, 0);
        r.answerer.answer(QMessageBox::Ok);
        a->write("rate 2\r\n");
        QVERIFY(r.answerer.waitForBoxes(1, 15000));
        const QString text = A::errorText(r.w);
        QVERIFY(!text.isEmpty());
        QCOMPARE(r.answerer.last().text, text);
        QByteArray expect = "NG\nUDP error! - " + text.toLatin1() + "\n";
        expect.replace("\n", "\r\n");
        QVERIFY(a->closed());
        QVERIFY(b->closed());
        QCOMPARE(a->in, expect);
        QCOMPARE(b->in, expect);
        QVERIFY(!A::serverRunning(r.w));
        QVERIFY(!A::server(r.w));
        QVERIFY(!A::worker(r.w));
        QCOMPARE(r.ui()->serverStart->text(), QStringLiteral("&Start"));
        QVERIFY(unstamped(r.log()).endsWith(QStringLiteral("<T>Client[0] rate 2\nNG\nUDP error! - ") + text
                                            + QStringLiteral("\n<T>Disconnect all\n")));
        QCOMPARE(r.log().count(QStringLiteral("Disconnect")), 2); // client 2 went by itself
        QVERIFY(r.ui()->tabWidget->isTabEnabled(0));
        for (int i = 1; i <= 4; ++i)
            QVERIFY(!r.ui()->tabWidget->isTabEnabled(i));
    }

    void stopWhileRunning()
    {
        BoardEmulator::Options opts;
        opts.rate = 50;
        opts.recordBlocks = false;
        Rig r(opts);
        QVERIFY(r.open());
        auto c = r.client();
        QVERIFY(c);
        QCOMPARE(c->ask("start\r\n"), QByteArray("OK\r\nZentrofa>"));
        QTRY_VERIFY_WITH_TIMEOUT(r.emu.blocksSent() >= 2, 10000);
        r.emu.clearRequests();
        r.ui()->serverStart->click();
        QVERIFY(!A::worker(r.w)->isRunning());
        QCOMPARE(writesTo(r.emu, 4), QList<int>{0x10});
        QVERIFY(!A::running(r.w));
        QVERIFY(c->closed());
        QVERIFY(c->in.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!A::stream(r.w), 10000);
        QTRY_VERIFY(!r.emu.executing());
        for (int i = 0; i <= 3; ++i)
            QVERIFY(r.ui()->tabWidget->isTabEnabled(i));
    }

    // A start still connecting its stream is ended by the server's stop as
    // a running one is: polling stops and the board is never armed.
    void stopWhileConnecting()
    {
        BlackHole hole;
        QVERIFY(hole.full);
        Rig r;
        QVERIFY(r.open());
        auto c = r.client();
        QVERIFY(c);
        r.ui()->tcp->setText(QString::number(hole.port));
        c->write("start\r\n");
        QTRY_VERIFY(A::stream(r.w));
        QVERIFY(A::worker(r.w)->isRunning());
        r.answerer.answer(QMessageBox::Ok); // the stream's "Aborted"
        r.ui()->serverStart->click();
        QVERIFY(!A::worker(r.w)->isRunning());
        QTRY_VERIFY_WITH_TIMEOUT(!A::stream(r.w), 5000);
        for (int v : writesTo(r.emu, 4))
            QVERIFY(!(v & Reg::ControlStart));
        QVERIFY(c->closed());
        QVERIFY(c->in.isEmpty());
        QVERIFY(r.ui()->start->isEnabled());
    }

    // A client whose start waits for the last stream's end leaves just as
    // the stream ends: the start still runs for a client that has gone, and
    // nothing points to it afterwards (a stale pointer aborts the sanitized
    // build).
    void clientLeavesWhileItsStartWaits()
    {
        Rig r;
        QVERIFY(r.open());
        auto d = r.client();
        QVERIFY(d);
        for (int round = 0; round < 2; ++round) {
            auto c = r.client();
            QVERIFY(c);
            QPointer<QServerSocket> s = A::clients(r.w).last();
            QCOMPARE(c->ask("single\r\n"), QByteArray("OK\r\nZentrofa>"));
            QTRY_VERIFY_WITH_TIMEOUT(!A::event(r.w).isEmpty() && !A::running(r.w), 10000);
            c->write("start\r\n");
            QTRY_VERIFY(QServerSocketAccess::held(s));
            if (A::waiting(r.w) == 0)
                QSKIP("the stream had ended before the start came: the machine is too slow for this case");
            c->socket.abort();
            // Without the event loop: the stream ends and the window handles
            // it, the client's end comes in, the waiting start runs, and only
            // then does the client object go, before the stream is up.
            if (QTcpThread *stream = A::stream(r.w)) {
                QVERIFY(stream->wait(20000));
                QCoreApplication::sendPostedEvents(&r.w, QEvent::MetaCall);
            }
            if (s)
                QServerSocketAccess::socket(s)->waitForReadyRead(1000);
            QCoreApplication::sendPostedEvents(&r.w, QEvent::MetaCall);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QTRY_VERIFY_WITH_TIMEOUT(A::running(r.w), 10000);
            QTRY_VERIFY(r.log().endsWith(QStringLiteral("start\nOK\n(not sent: the client has gone)\n")));
            QVERIFY(!A::current(r.w) || A::clients(r.w).contains(A::current(r.w)));
            QCOMPARE(d->ask("stop\r\n"), QByteArray("OK\r\nZentrofa>"));
            QTRY_VERIFY_WITH_TIMEOUT(!A::stream(r.w), 10000);
        }
    }

    void logKeepsItsTail()
    {
        Rig r;
        QVERIFY(r.open(false));
        for (int i = 0; i < 25000; ++i)
            A::appendLog(r.w, QStringLiteral("line %1\n").arg(i));
        const QString log = r.log();
        QVERIFY(log.count(QLatin1Char('\n')) <= 11000);
        QVERIFY(log.count(QLatin1Char('\n')) >= 10000);
        QVERIFY(log.endsWith(QStringLiteral("line 24998\nline 24999\n")));
        QVERIFY(log.startsWith(QStringLiteral("line ")));
        QTextDocument *doc = r.ui()->log->document();
        QVERIFY(doc->blockCount() <= 10001);
        QCOMPARE(doc->lastBlock().previous().text(), QStringLiteral("line 24999"));
        QCOMPARE(doc->firstBlock().text(), QStringLiteral("line 15000"));
        // A client's huge line is kept short.
        A::appendLog(r.w, QStringLiteral("short\n") + QString(100000, QLatin1Char('x')) + QStringLiteral("\nlast\n"));
        QVERIFY(r.log().endsWith(QStringLiteral("short\n") + QString(1024, QLatin1Char('x'))
                                 + QStringLiteral("... (100000 characters)\nlast\n")));
    }

    // Closing the window disposes its clients without signalling.
    void windowGoesWithClients()
    {
        auto r = std::make_unique<Rig>();
        QVERIFY(r->open());
        auto a = r->client();
        QVERIFY(a);
        a->write("partial");
        r.reset();
        QVERIFY(a->closed());
    }
};

QTEST_MAIN(TestServerLife)
#include "tst_serverlife.moc"
