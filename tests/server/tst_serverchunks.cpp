// Robustness of the command server in the real window: random chunks with
// a fixed seed, and a client that stops reading while its replies are large.
#include "serverrig.h"
#include "ui_mainwindow.h"

#include <QPointer>
#include <QRandomGenerator>

using namespace rig;

class TestServerChunks : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { installFailOnWarnings(); }

    // Random chunks from several clients with a fixed seed: random bytes,
    // NUL, CR, LF, known words, long lines, abrupt disconnects.
    void randomChunks()
    {
        Rig r;
        QVERIFY(r.open());
        QRandomGenerator rng(20261208);
        const int lanes = 8;
        std::vector<std::unique_ptr<Client>> cs(lanes);
        const char *const words[] = {"read", "help", "?", "rate", "trigger", "delay", "condition", "quit",
                                     "stop", "rate 2", "rate 1", "trigger ch3", "delay 7", "quit now", ""};
        const char *const ends[] = {"\r\n", "\n", "\r", "", " "};
        int aborted = 0, longLines = 0;
        for (int round = 0; round < 10000; ++round) {
            const int i = int(rng.bounded(lanes));
            if (!cs[i] || cs[i]->socket.state() != QAbstractSocket::ConnectedState) {
                cs[i] = std::make_unique<Client>();
                if (!cs[i]->open(r.port(), false))
                    QFAIL("connect failed");
            }
            Client &c = *cs[i];
            const quint32 kind = rng.bounded(100);
            QByteArray chunk;
            if (kind < 60) {
                const int n = 1 + int(rng.bounded(48));
                for (int k = 0; k < n; ++k) {
                    const quint32 b = rng.bounded(20);
                    chunk += b == 0 ? '\0' : b == 1 ? '\r' : b == 2 ? '\n' : char(rng.bounded(256));
                }
                // Mostly unfinished: a random end says whether it completes.
                if (!chunk.endsWith('\r') && !chunk.endsWith('\n') && rng.bounded(8) == 0)
                    chunk += '\n';
            } else if (kind < 85) {
                chunk = QByteArray(words[rng.bounded(int(std::size(words)))]) + ends[rng.bounded(int(std::size(ends)))];
            } else if (kind < 87) {
                chunk = QByteArray(20000 + int(rng.bounded(30000)), 'L');
                ++longLines;
            } else if (kind < 89) {
                c.socket.abort();
                ++aborted;
                continue;
            } else {
                chunk = QByteArray(1 + int(rng.bounded(200)), char('a' + rng.bounded(26)));
            }
            c.write(chunk);
            QCoreApplication::processEvents();
            for (auto &o : cs)
                if (o) {
                    o->pull();
                    o->in.clear();
                }
            if (round % 500 == 0) {
                for (QServerSocket *s : A::clients(r.w))
                    QVERIFY(QServerSocketAccess::buffer(s).size() <= QServerSocket::MaxCommandLength);
            }
        }
        QVERIFY(aborted > 0 && longLines > 0);
        QTRY_VERIFY(A::clients(r.w).size() <= lanes);

        // No client is stuck: each one still there answers a probe.
        for (int i = 0; i < lanes; ++i) {
            if (!cs[i] || cs[i]->socket.state() != QAbstractSocket::ConnectedState)
                continue;
            Client &c = *cs[i];
            // End whatever line is buffered and let every reply arrive.
            c.write("\r\n");
            (void)QTest::qWaitFor(
                [&] {
                    const qsizetype before = c.in.size();
                    QTest::qWait(150);
                    c.pull();
                    return c.socket.state() != QAbstractSocket::ConnectedState
                        || (c.in.size() == before && c.in.endsWith(Prompt));
                },
                15000);
            c.in.clear();
            if (c.socket.state() != QAbstractSocket::ConnectedState)
                continue;
            const QByteArray probe = "probe" + QByteArray::number(i);
            QCOMPARE(c.ask(probe + "\r\n"), "Unknown Command: " + probe + "\r\nZentrofa>");
        }
        auto fresh = r.client();
        QVERIFY(fresh);
        QCOMPARE(fresh->ask("rate 5 5\r\n").left(8), QByteArray("OK\r\nrate"));
        QVERIFY(r.log().count(QLatin1Char('\n')) <= 11000);
        QVERIFY(r.ui()->log->document()->blockCount() <= 10001);
    }

    // A client whose command waits for a slow board's write floods the
    // server: what is kept for it stays bounded, it is closed at the cap with
    // its log line, and the write before still reaches the board.
    void floodWhileWaiting_data()
    {
        QTest::addColumn<QByteArray>("unit");
        QTest::newRow("one endless line") << QByteArray(4096, 'x');
        QTest::newRow("many lines") << QByteArray("help\r\n").repeated(700);
    }
    void floodWhileWaiting()
    {
        QFETCH(QByteArray, unit);
        Rig r;
        QVERIFY(r.open());
        r.emu.setFault(BoardEmulator::DelayReplies, 900);
        RawClient c;
        QVERIFY(c.open(r.port()));
        QTRY_COMPARE(A::clients(r.w).size(), 1);
        QPointer<QServerSocket> s = A::clients(r.w).first();
        qint64 most = 0;
        std::atomic<bool> done{false};
        std::thread flood([&] {
            if (c.readPrompts(1) && c.send("rate 2\r\n")) {
                QThread::msleep(100);
                c.send("delay 7\r\n");
                QThread::msleep(100);
                const QByteArray block = unit.repeated(256);
                for (qint64 sent = 0; sent < (qint64(64) << 20) && c.send(block); sent += block.size()) {
                }
            }
            done = true;
        });
        const bool ended = QTest::qWaitFor(
            [&] {
                if (s)
                    most = qMax(most, QServerSocketAccess::kept(s));
                return done.load();
            },
            30000);
        flood.join();
        QVERIFY(ended);
        QVERIFY2(most <= 4 * QServerSocket::MaxCommandLength, QByteArray::number(most).constData());
        QTRY_VERIFY(r.log().contains(QStringLiteral("Command too long from Client 0 (over 65536 bytes)\n")));
        QTRY_VERIFY(A::clients(r.w).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(writesTo(r.emu, 20).size(), 1, 5000);
    }

    // A client that stops reading while its replies are large is closed by
    // the send failure; the others are served on.
    void clientStopsReading()
    {
        Rig r;
        QVERIFY(r.open());
        auto a = r.client();
        QVERIFY(a);
        auto b = std::make_unique<Client>();
        b->socket.setReadBufferSize(1);
        QVERIFY(b->open(r.port(), false));
        QTRY_COMPARE(A::clients(r.w).size(), 2);
        const quint64 id = A::clients(r.w).at(1)->id();
        const QByteArray word(60000, 'w');
        const QString failed = QStringLiteral("Failed to send to Client %1\n").arg(id);
        int sent = 0;
        while (!r.log().contains(failed) && sent < 1000) {
            const int before = r.logCount(QStringLiteral("Client[%1] ").arg(id));
            b->socket.write(word + "\r\n");
            b->socket.flush();
            ++sent;
            QVERIFY(QTest::qWaitFor(
                [&] { return r.logCount(QStringLiteral("Client[%1] ").arg(id)) > before || r.log().contains(failed); },
                10000));
        }
        QVERIFY(r.log().contains(failed));
        QTRY_VERIFY(r.log().contains(QStringLiteral("Disconnect %1\n").arg(id)));
        QCOMPARE(A::clients(r.w).size(), 1);
        QCOMPARE(a->ask("help\r\n").right(9), Prompt);
    }
};

QTEST_MAIN(TestServerChunks)
#include "tst_serverchunks.moc"
