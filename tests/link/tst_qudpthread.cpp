// Register worker runs against the in-process board emulator.

#include "boardemulator.h"
#include "qudpthread.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QSet>
#include <QTableWidget>
#include <QtTest>

#include <atomic>
#include <thread>

namespace {

// Receives the worker's signals the way the main window does: as the
// worker's parent, through the constructor's connections, queued.
class Recorder : public QObject
{
    Q_OBJECT
public:
    QStringList events;
    QStringList errors;
    QStringList reports;
    QList<quint8> statuses;
    QList<bool> closes;

    void clear()
    {
        events.clear();
        errors.clear();
        reports.clear();
        statuses.clear();
        closes.clear();
    }

public slots:
    void exec(const QString &text)
    {
        reports << text;
        events << "report";
    }
    void setStatus(quint8 status)
    {
        statuses << status;
        events << "status";
    }
    void setTcp(quint16) { events << "tcp"; }
    void udpError(const QString &text)
    {
        errors << text;
        events << "error";
    }
    void udpStopped(bool ok)
    {
        closes << ok;
        events << (ok ? "closed:true" : "closed:false");
    }
};

// Worker with short time-outs and reads that can be made to deliver nothing.
// It also tells when a poll is between passes.
class TestWorker : public QUdpThread
{
public:
    using QUdpThread::QUdpThread;

    QSet<quint32> emptyReads;
    std::atomic<int> transfers{0};       // transactions under way
    std::atomic<int> statusReads{0};     // status reads completed
    std::atomic<qint64> lastStatusAt{0}; // when the last one completed
    QElapsedTimer clock;

    void shorten()
    {
        waitCount = 3;
        tries = 1;
    }

    int read(quint32 address, uchar *data, uint length) override
    {
        if (emptyReads.contains(address))
            return 0;
        Busy busy(transfers);
        const int n = QUdpThread::read(address, data, length);
        if (address == 7 && length == 7) {
            lastStatusAt = clock.elapsed();
            ++statusReads;
        }
        return n;
    }

    int write(quint32 address, const uchar *data, uint length) override
    {
        Busy busy(transfers);
        return QUdpThread::write(address, data, length);
    }

private:
    struct Busy {
        explicit Busy(std::atomic<int> &c) : count(c) { ++count; }
        ~Busy() { --count; }
        std::atomic<int> &count;
    };
};

const quint8 KnownRegisters[48] = {
    0x01, 0x02, 0x03, 0x0A, 0x80, 0x00, 0x90, 0x07,  // 0-7: boot page 2, force default
    0xFF, 0x9C, 0x00, 0x10, 0x01, 0xF4, 0x00, 0x00,  // 8-15: -100, 16, 500
    0x35, 0x03, 0xFF, 0x38, 0x06, 0x21, 0x22, 0x23,  // 16-23: ch.5 falling, -200, ADC0 sign
    0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B,  // 24-31
    0xFF, 0x12, 0x0A, 0xC8, 0x80, 0x00, 0x00, 0x00,  // 32-39
    0xFF, 0xFF, 0x40, 0x00, 0x03, 0xE8, 0xC0, 0x00}; // 40-47

const char *const KnownReport =
    "--------- Vortiq(EEPROM) Information ---------\n"
    "MAC Address : 00:1A:80:FF:0B:01\n"
    "IP Address : 10.00.07.200\n"
    "TCP Port : 24\n"
    "UDP Port : 4660\n"
    "Keep Alive : ON\n"
    "--------- Register Information --------------\n"
    "FPGA Version : 0102030A\n"
    "Force Default : ON\n"
    "ADC auto setting : ON\n"
    "EEPROM Boot Page : 2\n"
    "ADC0 Sign Extension : ON\n"
    "ADC1 Sign Extension : OFF\n"
    "DRS4 Config Register : 0xFF\n"
    "DRS4 Write Shift Register : 0x12\n"
    "DRS4 Write Config Register : 0x0A\n"
    "ADC Delay Adjust Register : 200\n"
    "VROFS : 1.25V,0V\n"
    "VBIAS : 2.5V,0.625V\n"
    "VOOFS : 0.0381V,1.88V\n"
    "---------------------------------------------";

QByteArray knownImage()
{
    return QByteArray(reinterpret_cast<const char *>(KnownRegisters), 48);
}

QByteArray knownPage(int n)
{
    if (n == 0)
        return knownImage().mid(16, 32);
    QByteArray page(32, '\0');
    for (int k = 0; k < 32; ++k)
        page[k] = char(n * 0x40 + k);
    if (n == 1)
        page.fill('\0');
    return page;
}

void loadKnownBoard(BoardEmulator &emu)
{
    for (int i = 0; i < 48; ++i)
        emu.setRegister(i, KnownRegisters[i]);
    for (int n = 0; n < 4; ++n)
        emu.setEepromPage(n, knownPage(n));
    emu.setInfoBlock(QByteArray::fromHex("0400001a80ff0b01" "0a0007c8" "0018" "eeeeeeee" "1234"));
}

bool isStatusRead(const BoardEmulator::Request &r)
{
    return !r.write && r.address == 7 && r.length == 7;
}

} // namespace

class TestQUdpThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { installFailOnWarnings(); }

    void readInfoFillsImagePagesAndReport();
    void idleRunAndNoHost();
    void pollSendsOneWritePerPass();
    void pollKeepsGuiEdits();
    void pollOnShortImage();
    void startWhilePolling();
    void stopRightAfterStart();
    void flushDrainsQueue();
    void queuedWritesDiscardedAtRunEnd();
    void saveRomWritesPage_data();
    void saveRomWritesPage();
    void saveRomRefusals();
    void writeNetworkSettings();
    void thrownTextsReachError_data();
    void thrownTextsReachError();
    void transportErrors();
    void stopDuringTransaction();
    void pageTableAfterReads();

private:
    struct Board {
        BoardEmulator emu;
        Recorder rec;
        TestWorker *udp = nullptr;
    };
    static bool setUp(Board &board, bool known = true);
    static bool runJob(Board &board, int mode, int timeoutMs = 30000);
    static bool waitSleeping(Board &board, int statuses, int timeoutMs = 30000);
    static bool stopWhileSleeping(Board &board, int statuses, int timeoutMs = 30000);
};

bool TestQUdpThread::setUp(Board &board, bool known)
{
    if (!board.emu.start())
        return false;
    if (known)
        loadKnownBoard(board.emu);
    board.udp = new TestWorker(&board.rec);
    board.udp->clock.start();
    board.udp->setTimeout(1);
    board.udp->setRetry(0);
    return board.udp->updateHost(QHostAddress::LocalHost, board.emu.udpPort());
}

// Waits until a poll has delivered at least that many statuses and sleeps
// between passes: every status it read has arrived here, no transaction is
// under way and most of the 500 ms sleep is still ahead.
bool TestQUdpThread::waitSleeping(Board &board, int statuses, int timeoutMs)
{
    return QTest::qWaitFor(
        [&] {
            const TestWorker *w = board.udp;
            const int done = w->statusReads;
            return board.rec.statuses.size() >= statuses && board.rec.statuses.size() == done
                && w->transfers == 0 && w->clock.elapsed() - w->lastStatusAt <= 250;
        },
        timeoutMs);
}

bool TestQUdpThread::stopWhileSleeping(Board &board, int statuses, int timeoutMs)
{
    if (!waitSleeping(board, statuses, timeoutMs))
        return false;
    board.udp->stop();
    return true;
}

// Starts one job and waits until it has ended and the thread has finished.
bool TestQUdpThread::runJob(Board &board, int mode, int timeoutMs)
{
    const int before = board.rec.closes.size();
    board.udp->mode = mode;
    board.udp->start(QThread::InheritPriority);
    return QTest::qWaitFor([&] { return board.rec.closes.size() > before && board.udp->isFinished(); },
                           timeoutMs);
}

void TestQUdpThread::readInfoFillsImagePagesAndReport()
{
    Board b;
    QVERIFY(setUp(b));
    QVERIFY(runJob(b, QUdpThread::ModeReadInfo));

    QCOMPARE(b.rec.events, QStringList({"report", "status", "closed:true"}));
    QCOMPARE(b.rec.reports.first(), QString(KnownReport));
    QCOMPARE(b.rec.statuses.first(), b.emu.reg(7));
    QCOMPARE(b.udp->registers(), b.emu.requests().last().data);
    QCOMPARE(b.udp->registers().left(8), knownImage().left(8));
    QCOMPARE(b.udp->registers().mid(14), knownImage().mid(14));
    for (int n = 0; n < 4; ++n)
        QCOMPARE(b.udp->eepromPage(n), knownPage(n));
    QCOMPARE(b.udp->tcpPort(), b.emu.tcpPort());
    QCOMPARE(int(b.udp->mode), int(QUdpThread::ModeIdle));

    // The four pages first, in order, and the image last, whole.
    const QList<BoardEmulator::Request> log = b.emu.requests();
    QVERIFY(log.size() >= 6);
    for (int n = 0; n < 4; ++n) {
        QCOMPARE(log.at(n).write, false);
        QCOMPARE(log.at(n).address, quint32(0x80 + 32 * n));
        QCOMPARE(log.at(n).length, quint8(32));
    }
    QCOMPARE(log.last().address, quint32(0));
    QCOMPARE(log.last().length, quint8(48));
    for (const auto &r : log)
        QVERIFY(!r.write);

    // A second read of the same board gives the same report.
    QVERIFY(runJob(b, QUdpThread::ModeReadInfo));
    QCOMPARE(b.rec.reports.last(), QString(KnownReport));
}

void TestQUdpThread::idleRunAndNoHost()
{
    Board b;
    QVERIFY(setUp(b));
    QVERIFY(runJob(b, QUdpThread::ModeIdle));
    QCOMPARE(b.rec.events, QStringList({"closed:true"}));
    QVERIFY(runJob(b, 99));
    QCOMPARE(b.rec.events, QStringList({"closed:true", "closed:true"}));
    QVERIFY(b.emu.requests().isEmpty());

    // Without a host the run returns at once: no signal, the mode stays.
    Recorder rec;
    TestWorker *lone = new TestWorker(&rec);
    lone->mode = QUdpThread::ModeReadInfo;
    lone->start();
    QTRY_VERIFY_WITH_TIMEOUT(lone->isFinished(), 5000);
    QTest::qWait(50);
    QVERIFY(rec.events.isEmpty());
    QCOMPARE(int(lone->mode), int(QUdpThread::ModeReadInfo));
}

void TestQUdpThread::pollSendsOneWritePerPass()
{
    Board b;
    QVERIFY(setUp(b));
    QVERIFY(runJob(b, QUdpThread::ModeReadInfo));
    b.rec.clear();

    // Three writes queued before the start.
    b.emu.clearRequests();
    QVERIFY(b.udp->setRegister(17, 0x2A));
    b.udp->writeRegisters(16, 1);
    b.udp->writeRegisters(17, 1);
    b.udp->writeRegisters(36, 4);

    b.udp->mode = QUdpThread::ModePoll;
    b.udp->start(QThread::InheritPriority);
    QVERIFY(stopWhileSleeping(b, 4));
    QTRY_VERIFY_WITH_TIMEOUT(b.rec.closes.size() == 1, 10000);
    QCOMPARE(b.rec.closes.first(), true);
    QVERIFY(b.rec.errors.isEmpty());
    QCOMPARE(b.rec.events.last(), QString("closed:true"));
    QVERIFY(!b.rec.events.contains("report"));

    // Each pass: at most one write, then the status read.
    const QList<BoardEmulator::Request> log = b.emu.requests();
    QList<BoardEmulator::Request> writes;
    QList<QByteArray> replies;
    int writesThisPass = 0;
    for (const auto &r : log) {
        if (r.write) {
            writes << r;
            ++writesThisPass;
            QVERIFY(writesThisPass <= 1);
        } else {
            QVERIFY(isStatusRead(r));
            replies << r.data;
            writesThisPass = 0;
        }
    }
    // One status per pass, the byte the board replied.
    QCOMPARE(replies.size(), b.rec.statuses.size());
    for (int i = 0; i < replies.size(); ++i)
        QCOMPARE(b.rec.statuses.at(i), quint8(replies.at(i).at(0)));
    QVERIFY(log.first().write);
    QCOMPARE(writes.size(), 3);
    QCOMPARE(writes.at(0).address, quint32(16));
    QCOMPARE(writes.at(0).data, QByteArray::fromHex("35"));
    QCOMPARE(writes.at(1).address, quint32(17));
    QCOMPARE(writes.at(1).data, QByteArray::fromHex("2a"));
    QCOMPARE(writes.at(2).address, quint32(36));
    QCOMPARE(writes.at(2).data, QByteArray::fromHex("80000000"));
    QCOMPARE(b.emu.reg(17), quint8(0x2A));

    // Bytes 7 to 13 hold the last reply, nothing else changed.
    QByteArray expected = knownImage();
    expected[17] = char(0x2A);
    expected.replace(7, 7, replies.last());
    QCOMPARE(b.udp->registers(), expected);
}

void TestQUdpThread::pollKeepsGuiEdits()
{
    Board b;
    QVERIFY(setUp(b));
    QVERIFY(runJob(b, QUdpThread::ModeReadInfo));
    b.rec.clear();

    b.udp->mode = QUdpThread::ModePoll;
    b.udp->start(QThread::InheritPriority);
    QByteArray expected = b.udp->registers();
    const int editable[] = {4, 16, 17, 18, 19, 20, 32, 33, 40, 47};
    QElapsedTimer clock;
    clock.start();
    int round = 0;
    while (b.rec.statuses.size() < 3 && clock.elapsed() < 30000) {
        for (int reg : editable) {
            const quint8 v = quint8(round * 7 + reg);
            QVERIFY(b.udp->setRegister(reg, v));
            expected[reg] = char(v);
        }
        ++round;
        QTest::qWait(1);
    }
    QVERIFY(stopWhileSleeping(b, 3));
    QTRY_VERIFY_WITH_TIMEOUT(b.rec.closes.size() == 1, 10000);
    QCOMPARE(b.rec.closes.first(), true);
    QVERIFY(b.rec.statuses.size() >= 3);

    const QByteArray image = b.udp->registers();
    QCOMPARE(image.size(), 48);
    for (int reg : editable)
        QCOMPARE(quint8(image.at(reg)), quint8(expected.at(reg)));
    expected.replace(7, 7, image.mid(7, 7));
    QCOMPARE(image, expected);
}

void TestQUdpThread::pollOnShortImage()
{
    Board b;
    QVERIFY(setUp(b));
    for (int i = 0; i < 9; ++i)
        QVERIFY(b.udp->setRegister(i, 0xAA));

    b.udp->mode = QUdpThread::ModePoll;
    b.udp->start(QThread::InheritPriority);
    QVERIFY(stopWhileSleeping(b, 2));
    QTRY_VERIFY_WITH_TIMEOUT(b.rec.closes.size() == 1, 10000);
    QCOMPARE(b.rec.closes.first(), true);
    QVERIFY(b.rec.errors.isEmpty());
    const QByteArray last = b.emu.requests().last().data;
    QCOMPARE(last.size(), 7);
    QCOMPARE(b.rec.statuses.last(), quint8(last.at(0)));

    const QByteArray image = b.udp->registers();
    QCOMPARE(image.size(), 9);
    QCOMPARE(image.left(7), QByteArray(7, char(0xAA)));
    QCOMPARE(image.mid(7), last.left(2));

    // An empty image stays empty; the status still comes.
    Board e;
    QVERIFY(setUp(e));
    e.udp->mode = QUdpThread::ModePoll;
    e.udp->start(QThread::InheritPriority);
    QVERIFY(stopWhileSleeping(e, 1));
    QTRY_VERIFY_WITH_TIMEOUT(e.rec.closes.size() == 1, 10000);
    QCOMPARE(e.rec.closes.first(), true);
    QVERIFY(e.udp->registers().isEmpty());
    QCOMPARE(e.rec.statuses.first(), e.emu.reg(7));
}

void TestQUdpThread::startWhilePolling()
{
    Board b;
    QVERIFY(setUp(b));
    QVERIFY(runJob(b, QUdpThread::ModeReadInfo));
    b.rec.clear();
    b.emu.clearRequests();

    b.udp->mode = QUdpThread::ModePoll;
    b.udp->start(QThread::InheritPriority);
    QVERIFY(waitSleeping(b, 1));

    // A start while the poll runs does nothing; its mode is lost when the
    // poll ends, and the write queued with it goes out with the poll.
    b.udp->mode = QUdpThread::ModeReadInfo;
    b.udp->writeRegisters(17, 1);
    b.udp->start(QThread::InheritPriority);
    const auto written = [&b] {
        for (const auto &r : b.emu.requests()) {
            if (r.write)
                return true;
        }
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(written(), 10000);
    QVERIFY(stopWhileSleeping(b, 2));
    QTRY_VERIFY_WITH_TIMEOUT(b.rec.closes.size() == 1 && b.udp->isFinished(), 10000);
    QTest::qWait(100);
    QCOMPARE(b.rec.closes, QList<bool>({true}));
    QVERIFY(!b.rec.events.contains("report"));
    QCOMPARE(int(b.udp->mode), int(QUdpThread::ModeIdle));
    int writes = 0;
    for (const auto &r : b.emu.requests()) {
        QVERIFY(r.write || isStatusRead(r));
        writes += r.write ? 1 : 0;
    }
    QCOMPARE(writes, 1);
}

void TestQUdpThread::flushDrainsQueue()
{
    Board b;
    QVERIFY(setUp(b));
    QVERIFY(runJob(b, QUdpThread::ModeReadInfo));
    b.rec.clear();
    b.emu.clearRequests();

    b.udp->writeRegisters(16, 5);
    QVERIFY(b.udp->setRegister(16, 0x01));  // after queuing: the queued slice keeps 0x35
    b.udp->queueRead(7, 7);                 // dropped, never sent
    b.udp->writeRegisters(32, 4);
    b.udp->queueWrite(4, QByteArray::fromHex("90"));
    QVERIFY(runJob(b, QUdpThread::ModeFlush));

    QCOMPARE(b.rec.events, QStringList({"closed:true"}));
    QCOMPARE(b.udp->queuedRequests(), 0);
    const QList<BoardEmulator::Request> log = b.emu.requests();
    QCOMPARE(log.size(), 3);
    QCOMPARE(log.at(0).address, quint32(16));
    QCOMPARE(log.at(0).data, knownImage().mid(16, 5));
    QCOMPARE(log.at(1).address, quint32(32));
    QCOMPARE(log.at(1).data, knownImage().mid(32, 4));
    QCOMPARE(log.at(2).address, quint32(4));
    QCOMPARE(log.at(2).data, QByteArray::fromHex("90"));
    for (const auto &r : log)
        QVERIFY(r.write);

    // An empty queue flushes nothing and still completes.
    b.emu.clearRequests();
    QVERIFY(runJob(b, QUdpThread::ModeFlush));
    QCOMPARE(b.rec.closes.last(), true);
    QVERIFY(b.emu.requests().isEmpty());
}

void TestQUdpThread::queuedWritesDiscardedAtRunEnd()
{
    Board b;
    QVERIFY(setUp(b));
    QVERIFY(runJob(b, QUdpThread::ModeReadInfo));

    // Queued while a read job runs: not sent by it, discarded at its end.
    b.udp->writeRegisters(16, 1);
    QVERIFY(runJob(b, QUdpThread::ModeReadInfo));
    QCOMPARE(b.udp->queuedRequests(), 0);

    // A poll cut short leaves the rest of its queue unsent.
    b.rec.clear();
    b.emu.clearRequests();
    for (int i = 0; i < 16; ++i)
        b.udp->writeRegisters(32 + i, 1);
    b.udp->mode = QUdpThread::ModePoll;
    b.udp->start(QThread::InheritPriority);
    QVERIFY(stopWhileSleeping(b, 1));
    QTRY_VERIFY_WITH_TIMEOUT(b.rec.closes.size() == 1, 10000);
    QCOMPARE(b.udp->queuedRequests(), 0);
    int sent = 0;
    for (const auto &r : b.emu.requests())
        sent += r.write ? 1 : 0;
    QCOMPARE(sent, b.rec.statuses.size());
    QVERIFY(sent >= 1 && sent < 16);

    // A later run does not send them.
    b.emu.clearRequests();
    QVERIFY(runJob(b, QUdpThread::ModeFlush));
    QVERIFY(b.emu.requests().isEmpty());

    // A failed run empties the queue too.
    b.udp->writeRegisters(48, 1);  // beyond the image: an empty write
    b.udp->writeRegisters(16, 1);
    QVERIFY(runJob(b, QUdpThread::ModeFlush));
    QCOMPARE(b.rec.errors.last(), QString("Write ERROR"));
    QCOMPARE(b.udp->queuedRequests(), 0);
    QVERIFY(b.emu.requests().isEmpty());
}

void TestQUdpThread::saveRomWritesPage_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<int>("signBits");
    QTest::addColumn<int>("sampling");
    QTest::addColumn<int>("saved");

    QTest::newRow("ADC1 only over ADC0") << 1 << 0x08 << 0x06 << 0x0A;
    QTest::newRow("same bits") << 2 << 0x04 << 0x06 << 0x06;
    QTest::newRow("none, high bits kept") << 3 << 0x00 << 0xFF << 0xF3;
    QTest::newRow("stray bits ignored") << 0 << 0xF7 << 0x01 << 0x05;
}

void TestQUdpThread::saveRomWritesPage()
{
    QFETCH(int, page);
    QFETCH(int, signBits);
    QFETCH(int, sampling);
    QFETCH(int, saved);

    Board b;
    QVERIFY(setUp(b));
    b.emu.setRegister(20, quint8(sampling));
    QVERIFY(runJob(b, QUdpThread::ModeReadInfo));
    b.rec.clear();
    b.emu.clearRequests();

    QByteArray expected = b.udp->registers().mid(16, 32);
    expected[4] = char(saved);
    b.udp->romPage = page;
    b.udp->signBits = quint8(signBits);
    QVERIFY(runJob(b, QUdpThread::ModeSaveRom));
    QCOMPARE(b.rec.events, QStringList({"report", "status", "closed:true"}));

    const quint32 base = 0x80 + 32 * page;
    const QList<BoardEmulator::Request> log = b.emu.requests();
    QVERIFY(log.size() > 11);
    QVERIFY(log.at(0).write);
    QCOMPARE(log.at(0).address, quint32(5));
    QCOMPARE(log.at(0).data, QByteArray::fromHex("80"));
    for (int k = 0; k < 8; ++k) {
        const auto &r = log.at(1 + k);
        QVERIFY(r.write);
        QCOMPARE(r.address, base + 4 * k);
        QCOMPARE(r.data, expected.mid(4 * k, 4));
    }
    QVERIFY(log.at(9).write);
    QCOMPARE(log.at(9).address, quint32(5));
    QCOMPARE(log.at(9).data, QByteArray::fromHex("00"));
    QVERIFY(!log.at(10).write);
    QCOMPARE(log.at(10).address, base);
    QCOMPARE(log.at(10).length, quint8(32));
    for (int i = 11; i < log.size(); ++i)
        QVERIFY(!log.at(i).write);

    QCOMPARE(b.emu.eepromPage(page), expected);
    QCOMPARE(b.udp->eepromPage(page), expected);
    // The image keeps its own sign bits.
    QCOMPARE(b.udp->registerValue(20), sampling);
}

void TestQUdpThread::saveRomRefusals()
{
    // An image that is not whole: nothing written, no report, completed.
    Board b;
    QVERIFY(setUp(b));
    for (int i = 0; i < 47; ++i)
        QVERIFY(b.udp->setRegister(i, 0x11));
    b.udp->romPage = 0;
    QVERIFY(runJob(b, QUdpThread::ModeSaveRom));
    QCOMPARE(b.rec.events, QStringList({"closed:true"}));
    QVERIFY(b.emu.requests().isEmpty());

    // A page number outside 0 to 3 is refused before anything is written.
    QVERIFY(runJob(b, QUdpThread::ModeReadInfo));
    b.rec.clear();
    b.emu.clearRequests();
    for (int bad : {4, -1}) {
        b.udp->romPage = bad;
        QVERIFY(runJob(b, QUdpThread::ModeSaveRom));
        QCOMPARE(b.rec.events.mid(b.rec.events.size() - 2),
                 QStringList({"error", "closed:false"}));
        QCOMPARE(b.rec.errors.last(), QString("Invalid EEPROM page %1").arg(bad));
    }
    QVERIFY(b.emu.requests().isEmpty());
    for (int n = 0; n < 4; ++n)
        QCOMPARE(b.emu.eepromPage(n), knownPage(n));
}

void TestQUdpThread::writeNetworkSettings()
{
    Board b;
    QVERIFY(setUp(b));
    QByteArray info = b.emu.infoBlock();
    info[0] = char(0x01);  // Keep Alive off
    b.emu.setInfoBlock(info);

    b.udp->mode = QUdpThread::ModePoll;
    b.udp->setNetwork(0x7F000001, 5000, 5001);
    QCOMPARE(int(b.udp->mode), int(QUdpThread::ModeWriteNetwork));
    b.udp->start(QThread::InheritPriority);
    QTRY_VERIFY_WITH_TIMEOUT(b.rec.closes.size() == 1 && b.udp->isFinished(), 30000);

    QCOMPARE(b.rec.events, QStringList({"report", "status", "closed:true"}));
    const QByteArray block = b.emu.infoBlock();
    QCOMPARE(quint8(block.at(0)), quint8(0x05));
    QCOMPARE(block.mid(8, 6), QByteArray::fromHex("7f0000011388"));
    QCOMPARE(block.mid(18, 2), QByteArray::fromHex("1389"));
    QCOMPARE(b.emu.writeProtect(), quint8(0xFF));
    QVERIFY(b.rec.reports.first().contains(
        "IP Address : 127.00.00.01\nTCP Port : 5000\nUDP Port : 5001\nKeep Alive : ON\n"));
    QCOMPARE(b.udp->registers(), b.emu.requests().last().data);
}

void TestQUdpThread::thrownTextsReachError_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<qint64>("emptyRead");  // address whose read delivers nothing, or -1
    QTest::addColumn<bool>("emptyWrite");
    QTest::addColumn<QString>("text");

    QTest::newRow("information") << int(QUdpThread::ModeReadInfo) << qint64(0xFFFFFC10) << false
                                 << "Unable to read Vortiq information";
    QTest::newRow("registers") << int(QUdpThread::ModeReadInfo) << qint64(0) << false
                               << "Unable to read information from Register";
    QTest::newRow("status") << int(QUdpThread::ModePoll) << qint64(7) << false << "Read ERROR";
    QTest::newRow("poll write") << int(QUdpThread::ModePoll) << qint64(-1) << true << "Write ERROR";
    QTest::newRow("flush write") << int(QUdpThread::ModeFlush) << qint64(-1) << true << "Write ERROR";
    QTest::newRow("network info") << int(QUdpThread::ModeWriteNetwork) << qint64(0xFFFFFC10) << false
                                  << "Unable to access EEPROM";
}

void TestQUdpThread::thrownTextsReachError()
{
    QFETCH(int, mode);
    QFETCH(qint64, emptyRead);
    QFETCH(bool, emptyWrite);
    QFETCH(QString, text);

    Board b;
    QVERIFY(setUp(b));
    QVERIFY(runJob(b, QUdpThread::ModeReadInfo));
    b.rec.clear();

    if (emptyRead >= 0)
        b.udp->emptyReads.insert(quint32(emptyRead));
    if (emptyWrite)
        b.udp->queueWrite(16, QByteArray());
    b.udp->writeRegisters(16, 1);
    if (mode == QUdpThread::ModeWriteNetwork)
        b.udp->setNetwork(0x7F000001, 24, 4660);
    QVERIFY(runJob(b, mode));

    QCOMPARE(b.rec.events, QStringList({"error", "closed:false"}));
    QCOMPARE(b.rec.errors, QStringList({text}));
    QCOMPARE(b.udp->queuedRequests(), 0);
    QCOMPARE(int(b.udp->mode), int(QUdpThread::ModeIdle));
    if (emptyRead == 0)
        QVERIFY(b.udp->registers().isEmpty());

    // The next run starts clean.
    b.udp->emptyReads.clear();
    b.rec.clear();
    QVERIFY(runJob(b, QUdpThread::ModeReadInfo));
    QCOMPARE(b.rec.events, QStringList({"report", "status", "closed:true"}));
}

void TestQUdpThread::transportErrors()
{
    Board b;
    QVERIFY(setUp(b));
    QVERIFY(runJob(b, QUdpThread::ModeReadInfo));
    const QByteArray image = b.udp->registers();
    b.rec.clear();

    // Bus error on the status read ends the poll with one error.
    b.emu.setFault(BoardEmulator::BusError, 0);
    QVERIFY(runJob(b, QUdpThread::ModePoll));
    QCOMPARE(b.rec.events, QStringList({"error", "closed:false"}));
    QCOMPARE(b.rec.errors.first(),
             QString("read address: 0x00000007\nlength: 7\n\nQTelvo: Bus Error"));
    b.emu.clearFaults();

    // Silence: the first page read times out; what was read before stays.
    b.rec.clear();
    b.udp->shorten();
    b.emu.setFault(BoardEmulator::DropReplies, 0);
    QVERIFY(runJob(b, QUdpThread::ModeReadInfo));
    QCOMPARE(b.rec.events, QStringList({"error", "closed:false"}));
    QCOMPARE(b.rec.errors.first(),
             QString("read address: 0x00000080\nlength: 32\n\nQTelvo: Socket operation timed out"));
    QCOMPARE(b.udp->registers(), image);
    QCOMPARE(b.udp->eepromPage(0), knownPage(0));
    b.emu.clearFaults();

    // Short page replies clear the pages; the run goes on to the report.
    b.rec.clear();
    b.emu.setFault(BoardEmulator::ShortData, 2);
    QVERIFY(runJob(b, QUdpThread::ModeReadInfo));
    QCOMPARE(b.rec.events, QStringList({"report", "status", "closed:true"}));
    QVERIFY(b.udp->eepromPage(0).isEmpty());
    QVERIFY(b.udp->eepromPage(1).isEmpty());
    QCOMPARE(b.udp->eepromPage(2), knownPage(2));
}

void TestQUdpThread::stopDuringTransaction()
{
    // The board stays silent and a try would last a minute, so the stop
    // always meets the worker waiting for a reply.
    // Read job: the stop arrives while the first page read is awaited.
    {
        Board b;
        QVERIFY(setUp(b));
        b.udp->setTimeout(60);
        b.emu.setFault(BoardEmulator::DropReplies, 0);
        b.udp->mode = QUdpThread::ModeReadInfo;
        b.udp->start(QThread::InheritPriority);
        QTRY_VERIFY_WITH_TIMEOUT(!b.emu.requests().isEmpty(), 10000);
        b.udp->stop();
        QVERIFY(b.udp->isFinished());
        QTRY_VERIFY_WITH_TIMEOUT(b.rec.closes.size() == 1, 10000);
        QTest::qWait(50);
        QCOMPARE(b.rec.events, QStringList({"closed:false"}));
        QCOMPARE(b.emu.requests().size(), 1);
    }
    // Poll: the stop arrives during the status read of a later pass.
    {
        Board b;
        QVERIFY(setUp(b));
        b.udp->setTimeout(60);
        b.udp->mode = QUdpThread::ModePoll;
        b.udp->start(QThread::InheritPriority);
        QVERIFY(waitSleeping(b, 1));
        const int logged = b.emu.requests().size();
        b.emu.setFault(BoardEmulator::DropReplies, 0);
        QTRY_VERIFY_WITH_TIMEOUT(b.emu.requests().size() > logged, 10000);
        b.udp->stop();
        QTRY_VERIFY_WITH_TIMEOUT(b.rec.closes.size() == 1, 10000);
        QTest::qWait(50);
        QCOMPARE(b.rec.events.last(), QString("closed:false"));
        QCOMPARE(b.rec.closes, QList<bool>({false}));
        QVERIFY(b.rec.errors.isEmpty());
    }
}

void TestQUdpThread::pageTableAfterReads()
{
    Board b;
    QVERIFY(setUp(b));
    QVERIFY(runJob(b, QUdpThread::ModeReadInfo));

    QTableWidget table(17, 5);
    b.udp->fillRegisterTable(&table);
    QCOMPARE(table.item(0, 0)->text(), QString("ch.5"));   // image
    QCOMPARE(table.item(1, 0)->text(), QString("-200"));
    QCOMPARE(table.item(0, 2)->text(), QString("NIM0"));   // page 1: zeros
    QCOMPARE(table.item(16, 3)->text(), QUdpThread::toVolt(0x9E9F) + "V");  // page 2
    for (int column = 0; column < 5; ++column) {
        const QColor expected = column == 3 ? QColor(Qt::cyan) : QColor();
        for (int row = 0; row < 17; ++row) {
            const QVariant bg = table.item(row, column)->data(Qt::BackgroundRole);
            QCOMPARE(bg.isValid() ? table.item(row, column)->background().color() : QColor(),
                     expected);
        }
    }

    // Page 2 fails to read back: cleared, and its column keeps what it showed.
    QTableWidgetItem *kept = table.item(5, 3);
    const QString keptText = kept->text();
    b.emu.setRegister(6, 0x00);  // now boots from page 0
    b.emu.setEepromPage(2, QByteArray(32, '\0'));
    b.udp->emptyReads.insert(0xC0);
    QVERIFY(runJob(b, QUdpThread::ModeReadInfo));
    QVERIFY(b.udp->eepromPage(2).isEmpty());
    b.udp->fillRegisterTable(&table);
    QCOMPARE(table.item(5, 3), kept);
    QCOMPARE(table.item(5, 3)->text(), keptText);
    QCOMPARE(table.item(0, 1)->background().color(), QColor(Qt::cyan));
    QVERIFY(!table.item(0, 2)->data(Qt::BackgroundRole).isValid());
}

// A stop that lands before the run has opened its socket must still end
// the poll, although the run clears the flag when it begins. The board is
// silent and a try lasts a minute, so a lost stop would block stop() for
// good: it runs in a thread of its own and has to return within seconds.
void TestQUdpThread::stopRightAfterStart()
{
    Board board;
    QVERIFY(setUp(board));
    board.udp->setTimeout(60);
    board.emu.setFault(BoardEmulator::DropReplies, 0);
    for (int i = 0; i < 10; ++i) {
        board.udp->mode = QUdpThread::ModePoll;
        board.udp->start();
        std::atomic<bool> stopped{false};
        std::thread stopper([&] {
            board.udp->stop();
            stopped = true;
        });
        const bool inTime = QTest::qWaitFor([&] { return stopped.load(); }, 10000);
        while (!stopped) { // frees a stop that hangs, so the test fails instead
            board.udp->abort();
            QThread::msleep(100);
        }
        stopper.join();
        QVERIFY(inTime);
        QVERIFY(!board.udp->isRunning());
    }
}

QTEST_MAIN(TestQUdpThread)
#include "tst_qudpthread.moc"
