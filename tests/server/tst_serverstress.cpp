// Robustness of the command server in the real window: many clients at
// once, each reply complete and to its own client.
#include "serverrig.h"
#include "ui_mainwindow.h"

#include <QElapsedTimer>

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

// Replies in a client's input: text up to the prompt, or a "read" reply
// (its word count's high byte is 0x00 or 0x40, never a letter).
int countReplies(const QByteArray &in)
{
    int count = 0;
    qsizetype pos = 0;
    while (pos < in.size()) {
        if (in.at(pos) == '\x00' || in.at(pos) == '\x40') {
            if (in.size() - pos < 2)
                break;
            const int n = quint8(in.at(pos)) << 8 | quint8(in.at(pos + 1));
            pos += 2 + 2 * n + Prompt.size();
            if (pos > in.size())
                break;
        } else {
            const qsizetype end = in.indexOf(Prompt, pos);
            if (end < 0)
                break;
            pos = end + Prompt.size();
        }
        ++count;
    }
    return count;
}

} // namespace

class TestServerStress : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { installFailOnWarnings(); }

    // Four scripted clients at once, each cycling single, read, start, read,
    // stop, read, while events come in: none is closed and every line is
    // answered once. A deferred "OK" goes to the client of the latest
    // command, so a client may get another's: a client sends its next line
    // once the server has taken its last one (the log says so), so that
    // such an "OK" never makes two lines run into one.
    void acquisitionClientsAtOnce()
    {
        BoardEmulator::Options opts;
        opts.rate = 20;
        opts.recordBlocks = false;
        Rig r(opts);
        QVERIFY(r.open());
        const int clients = 4, lines = 3 * 6;
        const char *const cycle[] = {"single", "read", "start", "read", "stop", "read"};
        std::vector<RawClient> cs(clients);
        for (int i = 0; i < clients; ++i) {
            QVERIFY(cs[i].open(r.port()));
            QTRY_COMPARE(A::clients(r.w).size(), i + 1);
        }
        std::atomic<int> handled[clients] = {};
        std::atomic<int> finished{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < clients; ++i) {
            threads.emplace_back([&, i] {
                RawClient &c = cs[i];
                if (c.readPrompts(1)) {
                    c.in.clear();
                    for (int k = 0; k < lines; ++k) {
                        const int before = countReplies(c.in);
                        if (!c.send(QByteArray(cycle[k % 6]) + "\r\n"))
                            break;
                        c.readUntil([&](const QByteArray &) { return handled[i] > k; }, 20000);
                        // An "OK" that went to another client is not waited for long.
                        c.readUntil([before](const QByteArray &in) { return countReplies(in) > before; }, 3000);
                    }
                    c.readUntil([](const QByteArray &) { return false; }, 1500);
                }
                ++finished;
            });
        }
        const bool ended = QTest::qWaitFor(
            [&] {
                for (int i = 0; i < clients; ++i)
                    handled[i] = r.logCount(QStringLiteral("Client[%1] ").arg(i));
                return finished == clients;
            },
            240000);
        for (std::thread &t : threads)
            t.join();
        QVERIFY(ended);
        int replies = 0;
        for (const RawClient &c : cs)
            replies += countReplies(c.in);
        QVERIFY2(!r.log().contains(QStringLiteral("Failed to send")), qPrintable(r.log()));
        QVERIFY2(!r.log().contains(QStringLiteral("Unknown Command")), qPrintable(r.log()));
        QCOMPARE(A::clients(r.w).size(), clients);
        QCOMPARE(replies, clients * lines);
    }

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
};

QTEST_MAIN(TestServerStress)
#include "tst_serverstress.moc"
