// Register-access client against a scripted UDP responder on 127.0.0.1.

#include "boardemulator.h"
#include "qtelvo.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QMap>
#include <QMutex>
#include <QSemaphore>
#include <QTest>
#include <QUdpSocket>

#include <atomic>
#include <functional>
#include <thread>

struct TestTelvo : QTelvo
{
    using QTelvo::QTelvo;
    using QTelvo::abortFlag;
    using QTelvo::closedFlag;
    using QTelvo::eepromInfo;
    using QTelvo::errorText;
    using QTelvo::packetId;
    using QTelvo::socket;
    using QTelvo::tries;
    using QTelvo::waitCount;
};

struct Req
{
    bool write;
    quint8 id;
    quint8 length;
    quint32 address;
    QByteArray data;
};

// Answers in a thread of its own (the client blocks while it waits). The
// script gets each request and its index and returns the datagrams to send
// back; the default one serves a byte memory.
class Responder : public QThread
{
public:
    using Script = std::function<QList<QByteArray>(const Req &, const QByteArray &raw, int index)>;

    explicit Responder(Script s = {}) : script(std::move(s))
    {
        start();
        ready.acquire();
    }
    ~Responder() override
    {
        quit = true;
        wait();
    }

    quint16 port() const { return boundPort; }
    QList<Req> requests() const
    {
        QMutexLocker l(&mutex);
        return log;
    }
    void poke(quint32 address, const QByteArray &bytes)
    {
        QMutexLocker l(&mutex);
        for (int i = 0; i < bytes.size(); ++i)
            memory[address + i] = uchar(bytes.at(i));
    }

    // The reply the memory gives; busError sets bit 0 of byte 1.
    QByteArray serve(const Req &r, const QByteArray &raw, bool busError = false)
    {
        QByteArray reply = raw.left(8);
        if (busError) {
            reply[1] = char(reply.at(1) | 0x01);
            return reply;
        }
        QMutexLocker l(&mutex);
        for (int i = 0; i < r.length; ++i) {
            if (r.write)
                memory[r.address + i] = uchar(r.data.at(i));
            else
                reply.append(char(memory.value(r.address + i, 0)));
        }
        return reply;
    }

protected:
    void run() override
    {
        QUdpSocket sock;
        sock.bind(QHostAddress::LocalHost, 0);
        boundPort = sock.localPort();
        ready.release();
        QElapsedTimer life;
        life.start();
        while (!quit && life.elapsed() < 60000) {
            if (!sock.waitForReadyRead(20))
                continue;
            while (sock.hasPendingDatagrams()) {
                QByteArray raw(int(qMax<qint64>(sock.pendingDatagramSize(), 0)), '\0');
                QHostAddress from;
                quint16 fromPort = 0;
                sock.readDatagram(raw.data(), raw.size(), &from, &fromPort);
                if (raw.size() < 8)
                    continue;
                const auto b = [&raw](int i) { return quint32(uchar(raw.at(i))); };
                Req r{b(1) == 0x80, quint8(b(2)), quint8(b(3)),
                      b(4) << 24 | b(5) << 16 | b(6) << 8 | b(7), raw.mid(8)};
                int index;
                {
                    QMutexLocker l(&mutex);
                    index = log.size();
                    log << r;
                }
                const QList<QByteArray> replies = script ? script(r, raw, index)
                                                         : QList<QByteArray>{serve(r, raw)};
                for (const QByteArray &d : replies)
                    sock.writeDatagram(d, from, fromPort);
            }
        }
    }

private:
    Script script;
    QSemaphore ready;
    std::atomic<bool> quit{false};
    std::atomic<quint16> boundPort{0};
    mutable QMutex mutex;
    QList<Req> log;
    QMap<quint32, uchar> memory;
};

static void attach(TestTelvo &t, quint16 port)
{
    t.setHost(QHostAddress::LocalHost, port, 0);
    QVERIFY(t.openSocket());
}

static int thrown(const std::function<void()> &f)
{
    try {
        f();
    } catch (const QTelvo::ErrSts &e) {
        return e.code;
    }
    return 1;
}

static QByteArray bytes(std::initializer_list<int> l)
{
    QByteArray a;
    for (int v : l)
        a.append(char(v));
    return a;
}

class TstQTelvo : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { installFailOnWarnings(); }

    void wordsBytesAndNothing()
    {
        Responder resp;
        resp.poke(0x1000, bytes({0xDE, 0xAD, 0xBE}));
        TestTelvo t;
        attach(t, resp.port());
        quint16 word = 0;
        QVERIFY(t.readWord(0x1001, &word));
        QCOMPARE(word, quint16(0xADBE));
        // Nothing goes out for a length of 0.
        uchar buf[4];
        QCOMPARE(t.read(0x10, buf, 0), 0);
        QCOMPARE(t.write(0x10, buf, 0), 0);
        QCOMPARE(t.writeByte(0x1003, 0x77), 1);
        quint8 b = 0;
        QCOMPARE(t.readByte(0x1003, &b), 1);
        QCOMPARE(b, quint8(0x77));

        const QList<Req> log = resp.requests();
        QCOMPARE(log.size(), 3);
        QVERIFY(log[0].id <= 127);
        QCOMPARE(log[0].length, quint8(2));
        QCOMPARE(log[1].data, bytes({0x77}));
        QCOMPARE(log[2].address, 0x1003u);
    }

    void rawDatagrams()
    {
        QList<QByteArray> raws;
        QMutex m;
        Responder *r = nullptr;
        Responder resp([&](const Req &q, const QByteArray &raw, int) {
            QMutexLocker l(&m);
            raws << raw;
            return QList<QByteArray>{r->serve(q, raw)};
        });
        r = &resp;
        TestTelvo t;
        attach(t, resp.port());
        t.packetId = 9;
        uchar buf[2];
        t.read(0x00000080, buf, 2);
        const uchar w[2] = {0xAB, 0xCD};
        t.write(0xFFFFFCFF, w, 2);
        QMutexLocker l(&m);
        QCOMPARE(raws.value(0), bytes({0xFF, 0xC0, 10, 2, 0x00, 0x00, 0x00, 0x80}));
        QCOMPARE(raws.value(1), bytes({0xFF, 0x80, 11, 2, 0xFF, 0xFF, 0xFC, 0xFF, 0xAB, 0xCD}));
    }

    void chunking()
    {
        Responder resp;
        QByteArray pattern(300, '\0');
        for (int i = 0; i < 300; ++i)
            pattern[i] = char(i * 7);
        TestTelvo t;
        attach(t, resp.port());
        const quint32 a = 0x2000;
        QCOMPARE(t.write(a, reinterpret_cast<const uchar *>(pattern.constData()), 300), 300);
        QByteArray back(300, '\0');
        QCOMPARE(t.read(a, reinterpret_cast<uchar *>(back.data()), 300), 300);
        QCOMPARE(back, pattern);

        const QList<Req> log = resp.requests();
        QCOMPARE(log.size(), 6);
        const quint32 addr[3] = {a, a + 128, a + 256};
        const quint8 len[3] = {128, 128, 44};
        for (int i = 0; i < 6; ++i) {
            QCOMPARE(log[i].write, i < 3);
            QCOMPARE(log[i].address, addr[i % 3]);
            QCOMPARE(log[i].length, len[i % 3]);
        }
        QCOMPARE(log[1].data, pattern.mid(128, 128));
        QCOMPARE(log[2].data, pattern.mid(256));
    }

    void shortAndLongReplies()
    {
        // Piece at 0x3100 answers with the header only, 0x4000 with surplus data.
        Responder *r = nullptr;
        Responder resp([&](const Req &q, const QByteArray &raw, int) {
            if (q.address == 0x3100)
                return QList<QByteArray>{raw.left(8)};
            QByteArray reply = r->serve(q, raw);
            if (q.address == 0x4000)
                reply += QByteArray(6, char(0x55));
            return QList<QByteArray>{reply};
        });
        r = &resp;
        resp.poke(0x4000, bytes({1, 2, 3, 4}));
        TestTelvo t;
        attach(t, resp.port());

        uchar buf[8];
        memset(buf, 0xEE, sizeof buf);
        QCOMPARE(t.read(0x4000, buf, 4), 4);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(buf), 8),
                 bytes({1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE}));

        // A short third piece: only the first two count.
        QByteArray big(300, '\0');
        QCOMPARE(t.read(0x3100 - 256, reinterpret_cast<uchar *>(big.data()), 300), 256);
        QCOMPARE(t.read(0x3100, buf, 4), 0);
        quint16 word = 0x1234;
        QVERIFY(!t.readWord(0x3100, &word));
        QCOMPARE(word, quint16(0x1234));
        QCOMPARE(resp.requests().size(), 6);
        QVERIFY(t.errorText.isEmpty());

        QCOMPARE(thrown([&] { t.readExact(0x3100 - 256, reinterpret_cast<uchar *>(big.data()), 300); }),
                 int(QTelvo::ErrRead));
        t.appendErrorText(QTelvo::ErrRead);
        QCOMPARE(t.errorText, QStringLiteral("address: 0x00003000\nrequest length: 300\n"
                                             "read length: 256\n\nQTelvo: Unable to read"));
    }

    void packetIds()
    {
        // From a fresh client through a whole round: every id lies in 0..127
        // and is one more than the last, 127 followed by 0.
        Responder round;
        TestTelvo f;
        attach(f, round.port());
        quint8 b;
        for (int i = 0; i < 130; ++i)
            QCOMPARE(f.readByte(0x10, &b), 1);
        const QList<Req> ids = round.requests();
        QCOMPARE(ids.size(), 130);
        for (int i = 0; i < ids.size(); ++i) {
            QVERIFY(ids[i].id <= 127);
            if (i > 0)
                QCOMPARE(ids[i].id, quint8((ids[i - 1].id + 1) % 128));
        }

        Responder resp;
        TestTelvo t;
        attach(t, resp.port());
        t.packetId = 126;
        for (int i = 0; i < 3; ++i)
            QCOMPARE(t.readByte(0x10, &b), 1);
        const QList<Req> log = resp.requests();
        QCOMPARE(log.size(), 3);
        QCOMPARE(log[0].id, quint8(127));
        QCOMPARE(log[1].id, quint8(0));
        QCOMPARE(log[2].id, quint8(1));
    }

    void unmatchedReplies_data()
    {
        QTest::addColumn<bool>("foreign");
        QTest::addColumn<int>("waits");
        QTest::addColumn<bool>("ok");
        QTest::newRow("stale, then reply") << false << 40 << true;
        QTest::newRow("stale, one wait") << false << 1 << false;
        QTest::newRow("id with bit 7") << true << 2 << false;
    }
    void unmatchedReplies()
    {
        QFETCH(bool, foreign);
        QFETCH(int, waits);
        QFETCH(bool, ok);
        // A stale copy goes first, then the real reply; or only a reply whose
        // id has bit 7 set. With one wait the stale copy uses it up.
        Responder *r = nullptr;
        Responder resp([&](const Req &q, const QByteArray &raw, int) {
            QByteArray reply = r->serve(q, raw);
            QByteArray other = reply;
            if (foreign) {
                other[2] = char(q.id | 0x80);
                return QList<QByteArray>{other};
            }
            other[2] = char((q.id - 1) & 0x7F);
            return QList<QByteArray>{other, reply};
        });
        r = &resp;
        TestTelvo t;
        attach(t, resp.port());
        t.tries = 1;
        t.waitCount = waits;
        quint8 b;
        const int code = thrown([&] { QCOMPARE(t.readByte(0x20, &b), 1); });
        QCOMPARE(code, ok ? 1 : int(QTelvo::ErrTimeout));
        QCOMPARE(resp.requests().size(), 1);
        if (!ok)
            QCOMPARE(t.errorText, QStringLiteral("read address: 0x00000020\nlength: 1\n\n"));
    }

    void timeoutAfterTries()
    {
        Responder resp([](const Req &, const QByteArray &, int) { return QList<QByteArray>{}; });
        TestTelvo t;
        attach(t, resp.port());
        t.setTimeout(0);
        t.setRetry(0);
        QCOMPARE(t.waitCount, 40);
        QCOMPARE(t.tries, 3);
        t.setRetry(2);
        QCOMPARE(t.tries, 3);
        t.setTimeout(1);
        t.setRetry(1);
        QCOMPARE(t.waitCount, 10);
        QCOMPARE(t.tries, 2);

        uchar buf[7];
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(thrown([&] { t.read(7, buf, 7); }), int(QTelvo::ErrTimeout));
        QVERIFY(clock.elapsed() >= 1900);
        t.appendErrorText(QTelvo::ErrTimeout);
        QCOMPARE(t.errorText, QStringLiteral("read address: 0x00000007\nlength: 7\n\n"
                                             "QTelvo: Socket operation timed out"));
        QTRY_COMPARE_WITH_TIMEOUT(resp.requests().size(), 2, 2000);
        QVERIFY(resp.requests()[0].id != resp.requests()[1].id);

        // No waits: each try sends one datagram and gives up at once, even
        // though the board answers.
        Responder answering;
        TestTelvo z;
        attach(z, answering.port());
        z.waitCount = 0;
        z.tries = 3;
        const uchar w = 1;
        QCOMPARE(thrown([&] { z.write(0x1234, &w, 1); }), int(QTelvo::ErrTimeout));
        QCOMPARE(z.errorText, QStringLiteral("write address: 0x00001234\nlength: 1\n\n"));
        QTRY_COMPARE_WITH_TIMEOUT(answering.requests().size(), 3, 5000);
    }

    void busError()
    {
        Responder *r = nullptr;
        Responder resp([&](const Req &q, const QByteArray &raw, int) {
            return QList<QByteArray>{r->serve(q, raw, q.address == 0x1080 || q.address == 0x80)};
        });
        r = &resp;
        TestTelvo t;
        attach(t, resp.port());
        const QByteArray data(200, 'x');
        QCOMPARE(thrown([&] { t.write(0x1000, reinterpret_cast<const uchar *>(data.constData()), 200); }),
                 int(QTelvo::ErrBus));
        t.appendErrorText(QTelvo::ErrBus);
        QCOMPARE(t.errorText, QStringLiteral("write address: 0x00001080\nlength: 72\n\nQTelvo: Bus Error"));
        QCOMPARE(resp.requests().size(), 2);

        t.errorText.clear();
        uchar buf[4];
        QCOMPARE(thrown([&] { t.read(0x80, buf, 4); }), int(QTelvo::ErrBus));
        QCOMPARE(t.errorText, QStringLiteral("read address: 0x00000080\nlength: 4\n\n"));
        QCOMPARE(resp.requests().size(), 3); // no further try
    }

    void shortDatagram()
    {
        Responder resp([](const Req &, const QByteArray &raw, int) { return QList<QByteArray>{raw.left(7)}; });
        TestTelvo t;
        attach(t, resp.port());
        t.packetId = 40;
        uchar buf[4];
        QCOMPARE(thrown([&] { t.read(0x40, buf, 4); }), int(QTelvo::ErrSocket));
        QCOMPARE(t.packetId, qint8(41)); // one datagram, no retry
        QVERIFY(t.errorText.isEmpty());
        t.appendErrorText(QTelvo::ErrSocket);
        QCOMPARE(t.errorText, t.socket->errorString());
    }

    void portUnreachable()
    {
        // A closed port: the ICMP error must not turn into a datagram size.
        quint16 port;
        {
            QUdpSocket probe;
            QVERIFY(probe.bind(QHostAddress::LocalHost, 0));
            port = probe.localPort();
        }
        TestTelvo t;
        attach(t, port);
        t.tries = 1;
        t.waitCount = 50;
        uchar buf[4];
        QCOMPARE(thrown([&] { t.read(0x40, buf, 4); }), int(QTelvo::ErrSocket));
        QCOMPARE(t.packetId, qint8(1));
        t.appendErrorText(QTelvo::ErrSocket);
        // The real cause, not a stale or unknown socket text.
        QCOMPARE(t.errorText, QStringLiteral("read address: 0x00000040\nlength: 4\n\nConnection refused"));
    }

    void abortion()
    {
        Responder resp([](const Req &, const QByteArray &, int) { return QList<QByteArray>{}; });
        TestTelvo t;
        attach(t, resp.port());
        t.abort();
        uchar buf[4];
        QCOMPARE(thrown([&] { t.read(0x40, buf, 4); }), int(QTelvo::ErrAborted));
        QVERIFY(t.errorText.isEmpty());
        t.appendErrorText(QTelvo::ErrAborted);
        QCOMPARE(t.errorText, QStringLiteral("QTelvo: Aborted"));

        // An abort from another thread ends the waiting within one wait, long
        // before a try (20 s here) would end.
        QVERIFY(t.openSocket());
        QVERIFY(t.errorText.isEmpty());
        t.waitCount = 200;
        std::thread aborter([&t] {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            t.abort();
        });
        QElapsedTimer clock;
        clock.start();
        const int code = thrown([&] { t.read(0x40, buf, 4); });
        aborter.join();
        QCOMPARE(code, int(QTelvo::ErrAborted));
        QVERIFY(clock.elapsed() < 10000);
        QVERIFY(t.errorText.isEmpty());
        QCOMPARE(resp.requests().size(), 1);
    }

    void errorTexts()
    {
        TestTelvo t;
        t.appendErrorText(QTelvo::ErrWrite);
        QCOMPARE(t.errorText, QStringLiteral("QTelvo: Unable to write"));
        t.errorText.clear();
        t.appendErrorText(-9); // no socket yet
        QVERIFY(!t.errorText.isEmpty());
    }

    void openAndStop()
    {
        TestTelvo t;
        t.errorText = QStringLiteral("old");
        t.closedFlag = true;
        QVERIFY(!t.openSocket());
        QVERIFY(!t.socket);
        QVERIFY(t.errorText.isEmpty());
        QVERIFY(!t.closedFlag);

        // Not running: returns at once, the flag stays until the next open.
        QElapsedTimer clock;
        clock.start();
        t.stop();
        QVERIFY(clock.elapsed() < 5000);
        QVERIFY(t.abortFlag);

        t.setHost(QHostAddress::LocalHost, 4660, 24);
        QCOMPARE(t.tcpPort(), quint16(24));
        QVERIFY(t.openSocket());
        QVERIFY(!t.abortFlag);
        QUdpSocket *first = t.socket;
        QVERIFY(first);
        QVERIFY(t.openSocket());
        QCOMPARE(t.socket, first);
    }

    void writeExactAndControlBit()
    {
        struct NoWrite : TestTelvo {
            int writeChunk(quint32, const uchar *, quint8) override { return 0; }
        } n;
        const uchar w[2] = {1, 2};
        QCOMPARE(thrown([&] { n.writeExact(0, w, 2); }), int(QTelvo::ErrWrite));
        QVERIFY(n.errorText.isEmpty());

        Responder resp;
        resp.poke(0xFFFFFF10, bytes({0x12}));
        TestTelvo t;
        attach(t, resp.port());
        QCOMPARE(t.writeExact(0x50, w, 2), 2);
        QVERIFY(t.setControlBit7());
        const QList<Req> log = resp.requests();
        QCOMPARE(log.size(), 3);
        QCOMPARE(log[2].address, 0xFFFFFF10u);
        QCOMPARE(log[2].data, bytes({0x92}));
    }

    // Network-processor block and report.
    void informationFails()
    {
        // The block read delivers nothing, or the wait-time word does not.
        Responder *r = nullptr;
        std::atomic<quint32> empty{0xFFFFFC10};
        Responder resp([&](const Req &q, const QByteArray &raw, int) {
            return QList<QByteArray>{q.address == empty ? raw.left(8) : r->serve(q, raw)};
        });
        r = &resp;
        TestTelvo t;
        attach(t, resp.port());
        QVERIFY(!t.readEepromInformation());
        QVERIFY(t.eepromInfo.isEmpty());
        QCOMPARE(resp.requests().size(), 1);
        // The port word is taken, the wait-time word keeps its old value.
        resp.poke(0xFFFFFF1C, bytes({0x12, 0x34}));
        resp.poke(0xFFFFFF2C, bytes({0x00, 0x0A}));
        empty = 0;
        QVERIFY(t.readEepromInformation());
        QCOMPARE(t.waitTime(), quint16(10));
        resp.poke(0xFFFFFF1C, bytes({0x00, 0x18}));
        empty = 0xFFFFFF2C;
        QVERIFY(!t.readEepromInformation());
        QVERIFY(t.eepromInfo.isEmpty());
        QCOMPARE(t.tcpPort(), quint16(24));
        QCOMPARE(t.waitTime(), quint16(10));
        QString out;
        QVERIFY(!t.eepromInformation(&out));
        QVERIFY(out.isEmpty());
    }

    void networkSettings_data()
    {
        QTest::addColumn<int>("flags");
        QTest::addColumn<bool>("flagsWritten");
        QTest::newRow("keep alive off") << 0x03 << true;
        QTest::newRow("keep alive on") << 0x84 << false;
    }
    void networkSettings()
    {
        QFETCH(int, flags);
        QFETCH(bool, flagsWritten);
        Responder resp;
        resp.poke(0xFFFFFC10, bytes({flags}));
        TestTelvo t;
        attach(t, resp.port());
        t.writeNetworkSettings(0x0A000005, 4661, 8080);

        QList<Req> log = resp.requests();
        const QList<Req> expected = {
            {true, 0, 1, 0xFFFFFCFF, bytes({0x00})},
            {false, 0, 1, 0xFFFFFC10, {}},
            {true, 0, 1, 0xFFFFFC10, bytes({flags | 0x04})},
            {true, 0, 6, 0xFFFFFC18, bytes({0x0A, 0x00, 0x00, 0x05, 0x1F, 0x90})},
            {true, 0, 2, 0xFFFFFC22, bytes({0x12, 0x35})},
            {true, 0, 1, 0xFFFFFCFF, bytes({0xFF})},
        };
        QCOMPARE(log.size(), flagsWritten ? 6 : 5);
        for (int i = 0, j = 0; i < expected.size(); ++i) {
            if (i == 2 && !flagsWritten)
                continue;
            QCOMPARE(log[j].write, expected[i].write);
            QCOMPARE(log[j].address, expected[i].address);
            QCOMPARE(log[j].length, expected[i].length);
            QCOMPARE(log[j].data, expected[i].data);
            ++j;
        }
    }

    void networkSettingsFailures_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("requests");
        QTest::newRow("no flags byte") << "empty" << 1 << "Unable to access EEPROM" << 3;
        QTest::newRow("bus error on address") << "bus" << int(QTelvo::ErrBus)
                                              << "write address: 0xfffffc18\nlength: 6\n\n" << 4;
        QTest::newRow("restore fails too") << "bus+restore" << int(QTelvo::ErrBus)
                                           << "write address: 0xfffffc18\nlength: 6\n\n" << 4;
        QTest::newRow("flags timeout") << "drop" << int(QTelvo::ErrTimeout)
                                       << "read address: 0xfffffc10\nlength: 1\n\n" << 3;
    }
    void networkSettingsFailures()
    {
        QFETCH(QString, fault);
        QFETCH(int, code);
        QFETCH(QString, text);
        QFETCH(int, requests);
        Responder *r = nullptr;
        Responder resp([&](const Req &q, const QByteArray &raw, int) {
            const bool flagsRead = !q.write && q.address == 0xFFFFFC10;
            if (flagsRead && fault == QLatin1String("empty"))
                return QList<QByteArray>{raw.left(8)};
            if (flagsRead && fault == QLatin1String("drop"))
                return QList<QByteArray>{};
            const bool bus = fault.startsWith(QLatin1String("bus"))
                && (q.address == 0xFFFFFC18
                    || (fault.endsWith(QLatin1String("restore")) && q.address == 0xFFFFFCFF
                        && q.data == bytes({0xFF})));
            return QList<QByteArray>{r->serve(q, raw, bus)};
        });
        r = &resp;
        resp.poke(0xFFFFFC10, bytes({0x04}));
        TestTelvo t;
        attach(t, resp.port());
        t.tries = 1;
        t.waitCount = 1;

        QString message;
        int got = 0;
        try {
            t.writeNetworkSettings(0x0A000005, 4661, 8080);
        } catch (const QString &s) {
            message = s;
            got = 1;
        } catch (const QTelvo::ErrSts &e) {
            got = e.code;
        }
        QCOMPARE(got, code);
        QCOMPARE(got == 1 ? message : t.errorText, text);
        const QList<Req> log = resp.requests();
        QCOMPARE(log.size(), requests);
        // The protect is put back last.
        QCOMPARE(log.last().address, 0xFFFFFCFFu);
        QCOMPARE(log.last().data, bytes({0xFF}));
        for (const Req &q : log)
            QVERIFY(q.address != 0xFFFFFC22);
    }

    // A step that fails after the protect was cancelled: the error names its
    // own cause, and putting the protect back costs one short try, whether
    // the board answers it again (refused) or has gone silent.
    void networkSettingsFailureCause_data()
    {
        QTest::addColumn<bool>("refused");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("cause");
        QTest::newRow("port refused") << true << int(QTelvo::ErrSocket) << "Connection refused";
        QTest::newRow("board silent") << false << int(QTelvo::ErrTimeout) << "QTelvo: Socket operation timed out";
    }
    void networkSettingsFailureCause()
    {
        QFETCH(bool, refused);
        QFETCH(int, code);
        QFETCH(QString, cause);
        BoardEmulator emu;
        QVERIFY(emu.start());
        struct Failing : TestTelvo {
            std::function<void(bool)> hook;
            bool cancelWriteProtect(bool cancel) override
            {
                if (!cancel)
                    hook(false);
                const bool ok = TestTelvo::cancelWriteProtect(cancel);
                if (cancel)
                    hook(true);
                return ok;
            }
        } t;
        t.hook = [&](bool cancelled) {
            if (refused)
                QVERIFY(emu.setRegisterPortOpen(!cancelled));
            else if (cancelled)
                emu.setFault(BoardEmulator::DropReplies);
        };
        attach(t, emu.udpPort());
        t.waitCount = 10;
        const int got = thrown([&] { t.writeNetworkSettings(0x7F000001, 4660, 24); });
        QCOMPARE(got, code);
        t.appendErrorText(got);
        QCOMPARE(t.errorText, "read address: 0xfffffc10\nlength: 1\n\n" + cause);
        int restores = 0;
        for (const BoardEmulator::Request &r : emu.requests())
            restores += r.write && r.address == 0xFFFFFCFF && r.data == bytes({0xFF});
        QCOMPARE(restores, 1);
    }

    void protectNotCancelled()
    {
        struct Refusing : TestTelvo {
            bool cancelWriteProtect(bool) override { return false; }
        } t;
        Responder resp;
        attach(t, resp.port());
        QString message;
        try {
            t.writeNetworkSettings(1, 2, 3);
        } catch (const QString &s) {
            message = s;
        }
        QCOMPARE(message, QStringLiteral("Unable to cancel Write Protect for EEPROM"));
        QVERIFY(resp.requests().isEmpty());
    }

    // As the worker uses it: opened and used in a thread of its own, stopped
    // and destroyed from this one.
    void workerThread()
    {
        struct Worker : QTelvo {
            Worker() { waitCount = 200; }  // 20 s per try
            int code = 1;
            void run() override
            {
                if (!openSocket())
                    return;
                try {
                    uchar buf[4];
                    read(0x40, buf, 4);
                    read(0x40, buf, 4);
                } catch (const ErrSts &e) {
                    code = e.code;
                }
            }
        };
        Responder resp;
        auto *w = new Worker;
        w->setHost(QHostAddress::LocalHost, resp.port(), 0);
        w->start();
        QVERIFY(w->wait(5000));
        QCOMPARE(w->code, 1);
        w->start(); // the socket is kept for the next run
        QVERIFY(w->wait(5000));
        QCOMPARE(resp.requests().size(), 4);
        delete w;

        Responder silent([](const Req &, const QByteArray &, int) { return QList<QByteArray>{}; });
        w = new Worker;
        w->setHost(QHostAddress::LocalHost, silent.port(), 0);
        w->start();
        QTRY_COMPARE_WITH_TIMEOUT(silent.requests().size(), 1, 5000);
        QElapsedTimer clock;
        clock.start();
        w->stop();
        QVERIFY(clock.elapsed() < 10000);
        QCOMPARE(w->code, int(QTelvo::ErrAborted));
        delete w;
    }

    // A thread's own clean-up goes on after isRunning() has turned false:
    // stop waits for it, and the socket outlives it (a warning fails the test).
    void stoppedWhileFinishing()
    {
        struct Opener : QTelvo {
            void run() override { openSocket(); }
        };
        Responder resp;
        for (bool destroy : {false, true}) {
            auto *w = new Opener;
            w->setHost(QHostAddress::LocalHost, resp.port(), 0);
            connect(w, &QThread::finished, w, [] { QThread::msleep(500); }, Qt::DirectConnection);
            w->start();
            QTRY_VERIFY_WITH_TIMEOUT(!w->isRunning(), 10000);
            if (!destroy) {
                w->stop();
                QVERIFY(w->isFinished());
            }
            delete w;
            QVERIFY(!unexpectedWarnings());
        }
    }
};

QTEST_GUILESS_MAIN(TstQTelvo)
#include "tst_qtelvo.moc"
