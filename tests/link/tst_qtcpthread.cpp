#include "boardemulator.h"
#include "qtcpthread.h"
#include "testsupport.h"

#include <QPointer>
#include <QTest>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString HeaderError = QStringLiteral("Failed to read header on stream TCP\nPlease reconnect.");

// Writes the ControlRegister over the register protocol, as the program does.
bool writeControl(const BoardEmulator &emu, quint8 value)
{
    static quint8 id = 0;
    id = (id + 1) & 0x7F;
    QByteArray d("\xFF\x80", 2);
    d.append(char(id)).append(char(1)).append(QByteArray("\x00\x00\x00\x04", 4)).append(char(value));
    QUdpSocket s;
    if (s.writeDatagram(d, QHostAddress::LocalHost, emu.udpPort()) != d.size())
        return false;
    if (!s.waitForReadyRead(2000))
        return false;
    QByteArray reply(64, 0);
    const qint64 n = s.readDatagram(reply.data(), reply.size());
    return n >= 8 && quint8(reply[2]) == id && !(reply[1] & 1);
}

// A loopback listener whose backlog is full: it drops new SYNs, so a
// connection to it stays in progress.
struct JammedListener {
    int listener = -1;
    int filler = -1;
    quint16 port = 0;
    JammedListener()
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        filler = ::socket(AF_INET, SOCK_STREAM, 0);
        if (listener < 0 || filler < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0
            || ::listen(listener, 0) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len) != 0
            || ::connect(filler, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            return;
        port = ntohs(a.sin_port);
    }
    ~JammedListener()
    {
        if (filler >= 0)
            ::close(filler);
        if (listener >= 0)
            ::close(listener);
    }
};

} // namespace

// Stands in for the main window: offers the four slots the reader connects to.
class Consumer : public QObject
{
    Q_OBJECT
public:
    QPointer<QTcpThread> thread;
    bool autoRearm = true;
    bool deleteOnClose = false;
    QStringList events;
    QList<QByteArray> blocks;
    QList<const QByteArray *> addresses;

    QTcpThread *open(quint16 port)
    {
        thread = new QTcpThread(QStringLiteral("127.0.0.1"), port, this);
        return thread;
    }
    QStringList errors() const { return events.filter(QRegularExpression("^err:")); }
    bool closed() const { return events.contains(QStringLiteral("closed")); }

public slots:
    void connected() { events << QStringLiteral("connected"); }
    void connectionClosed()
    {
        events << QStringLiteral("closed");
        if (deleteOnClose)
            delete thread.data();
    }
    void error(QString text) { events << QStringLiteral("err:") + text; }
    void updateData(QByteArray *buf)
    {
        events << QStringLiteral("block");
        blocks << *buf;
        addresses << buf;
        if (autoRearm)
            thread->rearm();
    }
};

class TestQTcpThread : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void singleGivesOneBlock();
    void continuousKeepsEveryBlock();
    void continuousDrainsAfterBoardStops();
    void blocksWaitForRearm();
    void smallPiecesArriveWhole();
    void badHeader_data();
    void badHeader();
    void closedInMidBlock();
    void refusedConnection();
    void acceptedThenClosed();
    void abortBeforeConnect();
    void stopWhileConnecting();
    void connectTimesOut();
    void stopWhileStreaming();
    void stopWhileDisarmed();
    void deletedOnDisconnect();
    void destructorStopsThread();
    void drainTakesEverySentBlock();
    void drainEndsQuietlyOnClose();
    void drainBeforeConnect();

private:
    bool startEmulator();
    QTcpThread *streamFromEmulator();
    QString prefix() const { return QStringLiteral("127.0.0.1:%1 ").arg(emu->tcpPort()); }

    BoardEmulator *emu = nullptr;
    Consumer *consumer = nullptr;
};

void TestQTcpThread::initTestCase()
{
    installFailOnWarnings();
}

void TestQTcpThread::init()
{
    consumer = new Consumer;
}

void TestQTcpThread::cleanup()
{
    delete consumer; // its thread is a child and stops in its destructor
    consumer = nullptr;
    delete emu;
    emu = nullptr;
}

bool TestQTcpThread::startEmulator()
{
    emu = new BoardEmulator;
    return emu->start();
}

// A reader connected to the emulator's stream, with the emulator started.
QTcpThread *TestQTcpThread::streamFromEmulator()
{
    QTcpThread *t = consumer->open(emu->tcpPort());
    t->start();
    if (!QTest::qWaitFor([&] { return !consumer->events.isEmpty() && emu->streamConnected(); }, 3000)
        || consumer->events != QStringList{"connected"})
        return nullptr;
    return t;
}

void TestQTcpThread::singleGivesOneBlock()
{
    QVERIFY(startEmulator());
    QTcpThread *t = streamFromEmulator();
    QVERIFY(t);
    QVERIFY(writeControl(*emu, 0x20));
    QTRY_COMPARE(consumer->blocks.size(), 1);
    QTest::qWait(300);
    QCOMPARE(consumer->blocks.size(), 1);
    QCOMPARE(emu->blocksSent(), qint64(1));
    QCOMPARE(consumer->blocks.at(0).size(), int(QTcpThread::BlockSize));
    QCOMPARE(consumer->blocks.at(0), emu->sentBlocks().at(0));

    t->stop();
    QVERIFY(t->isFinished());
    QTRY_COMPARE(consumer->events, (QStringList{"connected", "block", "closed"}));
}

void TestQTcpThread::continuousKeepsEveryBlock()
{
    QVERIFY(startEmulator());
    QTcpThread *t = streamFromEmulator();
    QVERIFY(t);
    QVERIFY(writeControl(*emu, 0x60));
    // A reader that slept between blocks would need 30 s for these.
    QTRY_VERIFY_WITH_TIMEOUT(consumer->blocks.size() >= 300, 15000);
    t->stop();
    QVERIFY(writeControl(*emu, 0x10));
    QTRY_VERIFY(consumer->closed());

    const QList<QByteArray> sent = emu->sentBlocks();
    QVERIFY(sent.size() >= consumer->blocks.size());
    for (int i = 0; i < consumer->blocks.size(); ++i)
        QVERIFY2(consumer->blocks.at(i) == sent.at(i), qPrintable(QString("block %1 differs").arg(i)));
    // Every copy kept by the consumer stayed intact while the reader went on.
    QVERIFY(consumer->blocks.at(0) != consumer->blocks.at(1));
    // Always the reader's own buffer.
    for (const QByteArray *a : std::as_const(consumer->addresses))
        QCOMPARE(a, consumer->addresses.first());
    QVERIFY(consumer->errors().isEmpty());
    QCOMPARE(consumer->events.last(), QStringLiteral("closed"));
}

void TestQTcpThread::continuousDrainsAfterBoardStops()
{
    // Whatever reached the socket before the board stopped is handed over,
    // including blocks already buffered by the socket.
    QVERIFY(startEmulator());
    QTcpThread *t = streamFromEmulator();
    QVERIFY(t);
    QVERIFY(writeControl(*emu, 0x60));
    QTRY_VERIFY(consumer->blocks.size() >= 20);
    QVERIFY(writeControl(*emu, 0x10));
    QTRY_VERIFY(!emu->executing());
    const qint64 sent = emu->blocksSent();
    QTRY_COMPARE(qint64(consumer->blocks.size()), sent);
    QCOMPARE(consumer->blocks, emu->sentBlocks());
    QVERIFY(t->isRunning());
}

void TestQTcpThread::blocksWaitForRearm()
{
    QVERIFY(startEmulator());
    consumer->autoRearm = false;
    QTcpThread *t = streamFromEmulator();
    QVERIFY(t);
    for (int i = 1; i <= 3; ++i) {
        QVERIFY(writeControl(*emu, 0x20));
        QTRY_COMPARE(emu->blocksSent(), qint64(i));
        QTRY_COMPARE(consumer->blocks.size(), 1);
    }
    // Three blocks sent, one handed over; the rest waits in the socket.
    QTest::qWait(300);
    QCOMPARE(consumer->blocks.size(), 1);
    QVERIFY(!t->isArmed());

    for (int i = 2; i <= 3; ++i) {
        t->rearm();
        QTRY_COMPARE(consumer->blocks.size(), i);
        QTest::qWait(100);
        QCOMPARE(consumer->blocks.size(), i);
    }
    QCOMPARE(consumer->blocks, emu->sentBlocks());
    t->stop();
    QTRY_COMPARE(consumer->events, (QStringList{"connected", "block", "block", "block", "closed"}));
}

void TestQTcpThread::smallPiecesArriveWhole()
{
    QVERIFY(startEmulator());
    emu->setFault(BoardEmulator::SmallPieces, 1000);
    QTcpThread *t = streamFromEmulator();
    QVERIFY(t);
    QVERIFY(writeControl(*emu, 0x60));
    QTRY_VERIFY(consumer->blocks.size() >= 3);
    t->stop();
    QTRY_VERIFY(consumer->closed());
    const QList<QByteArray> sent = emu->sentBlocks();
    for (int i = 0; i < consumer->blocks.size(); ++i)
        QCOMPARE(consumer->blocks.at(i), sent.at(i));
    QVERIFY(consumer->errors().isEmpty());
}

void TestQTcpThread::badHeader_data()
{
    QTest::addColumn<int>("block");
    QTest::addColumn<int>("pieces");
    QTest::newRow("first block") << 0 << 0;
    QTest::newRow("third block") << 2 << 0;
    QTest::newRow("header in 3-byte pieces") << 0 << 3;
    QTest::newRow("header alone in first piece") << 0 << 4;
    QTest::newRow("second block in pieces") << 1 << 1000;
}

void TestQTcpThread::badHeader()
{
    QFETCH(int, block);
    QFETCH(int, pieces);
    QVERIFY(startEmulator());
    emu->setFault(BoardEmulator::BadHeader, block);
    if (pieces)
        emu->setFault(BoardEmulator::SmallPieces, pieces);
    QTcpThread *t = streamFromEmulator();
    QVERIFY(t);
    QVERIFY(writeControl(*emu, 0x60));
    QTRY_VERIFY(consumer->closed());
    QVERIFY(t->wait(2000));
    writeControl(*emu, 0x10);

    QStringList expected{"connected"};
    for (int i = 0; i < block; ++i)
        expected << "block";
    expected << "err:" + HeaderError << "closed";
    QCOMPARE(consumer->events, expected);
    const QList<QByteArray> sent = emu->sentBlocks();
    for (int i = 0; i < block; ++i)
        QCOMPARE(consumer->blocks.at(i), sent.at(i));
}

void TestQTcpThread::closedInMidBlock()
{
    QVERIFY(startEmulator());
    emu->setFault(BoardEmulator::CloseMidBlock, 1);
    QTcpThread *t = streamFromEmulator();
    QVERIFY(t);
    QVERIFY(writeControl(*emu, 0x60));
    QTRY_VERIFY(consumer->closed());
    QVERIFY(t->wait(2000));
    writeControl(*emu, 0x10);
    QCOMPARE(consumer->events,
             (QStringList{"connected", "block", "err:" + prefix() + "The remote host closed the connection", "closed"}));
    QCOMPARE(consumer->blocks.at(0), emu->sentBlocks().at(0));
}

void TestQTcpThread::refusedConnection()
{
    QVERIFY(startEmulator());
    emu->setFault(BoardEmulator::RefuseStream, 0);
    QTcpThread *t = consumer->open(emu->tcpPort());
    t->start();
    // Ends at once, without waiting out a connect time-out.
    QVERIFY(t->wait(5000));
    QTRY_COMPARE(consumer->events, (QStringList{"err:" + prefix() + "Connection refused", "closed"}));
}

void TestQTcpThread::acceptedThenClosed()
{
    QVERIFY(startEmulator());
    emu->setFault(BoardEmulator::RefuseStream, 1);
    QTcpThread *t = consumer->open(emu->tcpPort());
    t->start();
    QVERIFY(t->wait(3000));
    QTRY_VERIFY(consumer->closed());
    QCOMPARE(consumer->events.size(), 3);
    QCOMPARE(consumer->events.at(0), QStringLiteral("connected"));
    QCOMPARE(consumer->events.at(1), "err:" + prefix() + "The remote host closed the connection");
}

void TestQTcpThread::abortBeforeConnect()
{
    QVERIFY(startEmulator());
    QTcpThread *t = consumer->open(emu->tcpPort());
    t->abort();
    t->start();
    QVERIFY(t->wait(2000));
    QTRY_COMPARE(consumer->events, (QStringList{"err:Aborted", "closed"}));
}

void TestQTcpThread::stopWhileConnecting()
{
    JammedListener jam;
    QVERIFY(jam.port);
    QTcpThread *t = consumer->open(jam.port);
    t->start();
    QTest::qWait(100);
    QVERIFY(t->isRunning());
    QVERIFY(consumer->events.isEmpty());
    t->stop();
    QVERIFY(t->isFinished());
    QTRY_COMPARE(consumer->events, (QStringList{"err:Aborted", "closed"}));
}

void TestQTcpThread::connectTimesOut()
{
    // A connection that does not stand within the connect wait is given up
    // with the socket's error, not retried for ever.
    JammedListener jam;
    QVERIFY(jam.port);
    const quint16 port = jam.port;
    QTcpThread *t = consumer->open(port);
    t->start();
    QVERIFY(t->wait(5000));
    QTRY_COMPARE(consumer->events,
                 (QStringList{QStringLiteral("err:127.0.0.1:%1 Socket operation timed out").arg(port), "closed"}));
}

void TestQTcpThread::stopWhileStreaming()
{
    QVERIFY(startEmulator());
    QTcpThread *t = streamFromEmulator();
    QVERIFY(t);
    // Idle between triggers for longer than a read wait: not an error.
    QTest::qWait(1500);
    QVERIFY(t->isRunning());
    t->abort();
    QVERIFY(t->wait(2000));
    QTRY_COMPARE(consumer->events, (QStringList{"connected", "closed"}));
}

void TestQTcpThread::stopWhileDisarmed()
{
    QVERIFY(startEmulator());
    consumer->autoRearm = false;
    QTcpThread *t = streamFromEmulator();
    QVERIFY(t);
    QVERIFY(writeControl(*emu, 0x60));
    QTRY_COMPARE(consumer->blocks.size(), 1);
    QVERIFY(!t->isArmed());
    t->abort();
    QVERIFY(t->wait(3000));
    writeControl(*emu, 0x10);
    QTRY_COMPARE(consumer->events, (QStringList{"connected", "block", "closed"}));
}

void TestQTcpThread::deletedOnDisconnect()
{
    // The owner deletes the reader as soon as disconnected() arrives.
    QVERIFY(startEmulator());
    consumer->deleteOnClose = true;
    emu->setFault(BoardEmulator::CloseMidBlock, 0);
    QTcpThread *t = streamFromEmulator();
    QVERIFY(t);
    QVERIFY(writeControl(*emu, 0x20));
    QTRY_VERIFY(consumer->closed());
    QVERIFY(consumer->thread.isNull());
    QCOMPARE(consumer->events.size(), 3);
    QVERIFY(consumer->blocks.isEmpty());
}

void TestQTcpThread::destructorStopsThread()
{
    QVERIFY(startEmulator());
    QPointer<QTcpThread> t = streamFromEmulator();
    QVERIFY(t);
    delete t.data(); // would warn when destroyed while running
    QVERIFY(t.isNull());
}

QTEST_MAIN(TestQTcpThread)
#include "tst_qtcpthread.moc"

void TestQTcpThread::drainTakesEverySentBlock()
{
    // The consumer is slow: blocks pile up in the socket. A drain asked for
    // while the board still sends hands over every block, then ends without
    // an error once the stream has been quiet for one read wait.
    QVERIFY(startEmulator());
    consumer->autoRearm = false;
    QTcpThread *t = streamFromEmulator();
    QVERIFY(t);
    QVERIFY(writeControl(*emu, 0x60));
    QTRY_COMPARE(consumer->blocks.size(), 1);
    QVERIFY(t->hasBlock());
    QCOMPARE(consumer->addresses.at(0), t->blockBuffer());
    t->drain();
    QVERIFY(t->isDraining());
    QVERIFY(writeControl(*emu, 0x10));
    QTRY_VERIFY(!emu->executing());
    const qint64 sent = emu->blocksSent();
    QVERIFY(sent > 1);
    // One block at a time, each re-armed once the consumer has copied it.
    for (int n = 1; n < sent; ++n) {
        QVERIFY(t->hasBlock());
        t->rearm();
        QTRY_COMPARE_WITH_TIMEOUT(qint64(consumer->blocks.size()), qint64(n + 1), 5000);
    }
    t->rearm();
    QTRY_VERIFY_WITH_TIMEOUT(consumer->closed(), 5000);
    QCOMPARE(qint64(consumer->blocks.size()), sent);
    QCOMPARE(consumer->blocks, emu->sentBlocks());
    QVERIFY(consumer->errors().isEmpty());
}

void TestQTcpThread::drainEndsQuietlyOnClose()
{
    // A board that closes the stream after its last block while a drain
    // waits: the end is normal, not an error.
    QVERIFY(startEmulator());
    QTcpThread *t = streamFromEmulator();
    QVERIFY(t);
    QVERIFY(writeControl(*emu, 0x60));
    QTRY_VERIFY(consumer->blocks.size() >= 3);
    t->drain();
    QVERIFY(writeControl(*emu, 0x10));
    QTRY_VERIFY(!emu->executing());
    QTRY_COMPARE(qint64(consumer->blocks.size()), emu->blocksSent());
    emu->stop(); // the board goes away
    QTRY_VERIFY_WITH_TIMEOUT(consumer->closed(), 5000);
    QVERIFY(consumer->errors().isEmpty());
    QCOMPARE(consumer->blocks, emu->sentBlocks());
}

void TestQTcpThread::drainBeforeConnect()
{
    // Nothing to take before the stream stands: it ends as a stop would.
    JammedListener jam;
    QVERIFY(jam.port);
    QTcpThread *t = consumer->open(jam.port);
    t->start();
    QTest::qWait(50);
    t->drain();
    QVERIFY(t->wait(5000));
    QTRY_COMPARE(consumer->events, (QStringList{"err:Aborted", "closed"}));
}
