// Robustness of the command server in the real window: many clients at
// once, random chunks with a fixed seed, and a client that stops reading.
#include "serverrig.h"
#include "ui_mainwindow.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

using namespace rig;

namespace {

const QByteArray Refused = "NG:Unable to execute. Please retry after stop.\r\nZentrofa>";

struct Stream {
    std::unique_ptr<Client> client;
    int sent = 0;
    int done = 0;
    QByteArray pendingKind;
    QByteArray expected;
};

} // namespace

class TestServerStress : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { installFailOnWarnings(); }

    // 32 clients, 200 commands each, one outstanding at a time, while events
    // stream in: every reply complete and to its own client.
    void manyClientsInterleaved()
    {
        BoardEmulator::Options opts;
        opts.rate = 200;
        opts.recordBlocks = false;
        Rig r(opts);
        QVERIFY(r.open());
        auto control = r.client();
        QVERIFY(control);
        QCOMPARE(control->ask("help\r\n").left(6), QByteArray("single"));
        QByteArray help = control->ask("help\r\n");

        const int clients = 32, perClient = 200;
        std::vector<Stream> streams(clients);
        for (Stream &s : streams) {
            s.client = r.client();
            QVERIFY(s.client);
        }
        QCOMPARE(control->ask("start\r\n"), QByteArray("OK\r\nZentrofa>"));
        QTRY_VERIFY_WITH_TIMEOUT(!A::event(r.w).isEmpty(), 10000);

        const char *const show[] = {"rate", "trigger", "delay", "condition"};
        auto next = [&](int i) {
            Stream &s = streams[i];
            const int k = s.sent++;
            QByteArray line;
            switch ((k + i) % 4) {
            case 0:
                line = "read";
                s.pendingKind = "read";
                break;
            case 1:
                line = show[(k / 4 + i) % 4];
                s.expected = Refused;
                s.pendingKind = "text";
                break;
            case 2:
                line = "c" + QByteArray::number(i) + "n" + QByteArray::number(k);
                s.expected = "Unknown Command: " + line + "\r\nZentrofa>";
                s.pendingKind = "text";
                break;
            default:
                line = (k & 1) ? "help" : "?";
                s.expected = help;
                s.pendingKind = "text";
                break;
            }
            s.client->write(line + "\r\n");
        };
        for (int i = 0; i < clients; ++i)
            next(i);

        int fullEvents = 0, finished = 0;
        QElapsedTimer t;
        t.start();
        while (finished < clients && t.elapsed() < 240000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            for (int i = 0; i < clients; ++i) {
                Stream &s = streams[i];
                if (s.done == perClient)
                    continue;
                Client &c = *s.client;
                c.pull();
                if (s.pendingKind == "read") {
                    if (c.in.size() < 2)
                        continue;
                    const int n = quint8(c.in.at(0)) << 8 | quint8(c.in.at(1));
                    const int size = 2 + 2 * n + 9;
                    if (c.in.size() < size)
                        continue;
                    QVERIFY2(n == 0 || n == 16384, qPrintable(QString::number(n)));
                    QCOMPARE(c.in.mid(size - 9, 9), Prompt);
                    // Word 0 of channel 0 is the start cell.
                    if (n)
                        QVERIFY((quint8(c.in.at(2)) << 8 | quint8(c.in.at(3))) < 1024);
                    fullEvents += n ? 1 : 0;
                    c.in.remove(0, size);
                } else {
                    if (c.in.size() < s.expected.size())
                        continue;
                    QCOMPARE(c.in.left(s.expected.size()), s.expected);
                    c.in.remove(0, s.expected.size());
                }
                QVERIFY2(c.in.isEmpty(), "more than one reply");
                if (++s.done == perClient)
                    ++finished;
                else
                    next(i);
            }
        }
        QCOMPARE(finished, clients);
        QVERIFY(fullEvents > 0);
        // The log holds only its tail, the last command among it.
        QVERIFY(r.log().count(QLatin1Char('\n')) >= 10000);
        QCOMPARE(control->ask("stop\r\n"), QByteArray("OK\r\nZentrofa>"));
        for (Stream &s : streams)
            QVERIFY(s.client->silent(0));
        QVERIFY(r.log().count(QLatin1Char('\n')) <= 11000);
    }

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
            c.write("\r\n");
            QTest::qWait(100);
            c.pull();
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

QTEST_MAIN(TestServerStress)
#include "tst_serverstress.moc"
