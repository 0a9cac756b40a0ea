#include "emulatorworker.h"

#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>
#include <QtEndian>
#include <cmath>

#include "link/eventblock.h"
#include "link/registermap.h"

#include <algorithm>

namespace {

constexpr int RegisterCount = BoardEmulator::RegisterCount;
constexpr int BlockSize = BoardEmulator::BlockSize;
constexpr int QueuedBlocks = 2;       // blocks allowed to wait in the socket
constexpr int MaxBacklog = 4;         // least number of triggers a slow reader may fall behind by
constexpr int BacklogMs = 50;         // ... or this many milliseconds of triggers, when more
constexpr int DefaultPieceSize = 512;

constexpr quint32 EepromBase = Reg::EepromBase;
constexpr quint32 InfoAddress = 0xFFFFFC10;
constexpr quint32 ProtectAddress = 0xFFFFFCFF;
constexpr quint32 ControlAddress = 0xFFFFFF10;
constexpr quint32 TcpPortAddress = 0xFFFFFF1C;
constexpr quint32 WaitTimeAddress = 0xFFFFFF2C;

QByteArray defaultRegisters()
{
    QByteArray r(RegisterCount, '\0');
    const quint8 fpga[Reg::FpgaVersionLength] = {0x21, 0x05, 0x14, 0x01};
    for (int i = 0; i < Reg::FpgaVersionLength; ++i)
        r[Reg::FpgaVersion + i] = char(fpga[i]);
    r[Reg::Status] = 0x07;              // ADC ready, DRS ready
    r[Reg::TriggerSource] = Reg::TriggerChannel; // channel 0, rising edge
    r[Reg::TriggerDelay] = 0x0A;        // 64 ns delay
    r[Reg::TriggerVthHigh] = 0x00;      // threshold 200
    r[Reg::TriggerVthLow] = char(0xC8);
    r[Reg::Drs4Config] = char(0xFF);
    r[Reg::Drs4WriteShift] = char(0xFF);
    r[Reg::Drs4WriteConfig] = char(0xFF);
    r[Reg::AdcDelayAdjust] = 0x04;
    const quint16 dacs[Reg::DacCount] = {27525, 27525, 18350, 18350, 20972, 20972}; // 1.05 V, 0.7 V, 0.8 V
    for (int i = 0; i < Reg::DacCount; ++i)
        qToBigEndian<quint16>(dacs[i], reinterpret_cast<uchar *>(r.data()) + Reg::Dac + 2 * i);
    return r;
}

QByteArray defaultInfoBlock()
{
    const uchar block[BoardEmulator::InfoBlockSize] = {
        0x00, 0x00,                         // flags (Keep Alive off), unused
        0x00, 0x1C, 0x4A, 0x00, 0x10, 0x16, // MAC
        192, 168, 10, 16,                   // IP
        0x00, 24,                           // TCP port
        0, 0, 0, 0,                         // unused
        0x12, 0x34                          // UDP port 4660
    };
    return QByteArray(reinterpret_cast<const char *>(block), sizeof block);
}

} // namespace

EmulatorState::EmulatorState(const BoardEmulator::Options &opts)
    : regs(defaultRegisters())
    , eeprom(BoardEmulator::EepromPages * BoardEmulator::EepromPageSize, '\0')
    , info(defaultInfoBlock())
    , rate(opts.rate)
    , recordBlocks(opts.recordBlocks)
    , generator(opts.seed)
    , monitorRng(opts.seed ^ 0x5A5A5A5Au)
{
    eeprom.replace(0, BoardEmulator::EepromPageSize, regs.mid(Reg::EepromPageFirst, BoardEmulator::EepromPageSize));
    refreshMonitor();
}

bool EmulatorState::takeFault(BoardEmulator::Fault f)
{
    FaultSetting &s = faults[f];
    if (!s.active)
        return false;
    if (s.remaining > 0 && --s.remaining == 0)
        s.active = false;
    return true;
}

WaveConfig EmulatorState::waveConfig() const
{
    WaveConfig c;
    c.triggerSource = quint8(regs[Reg::TriggerSource]);
    c.delay = quint8(regs[Reg::TriggerDelay]);
    c.threshold = qint16((quint8(regs[Reg::TriggerVthHigh]) << 8) | quint8(regs[Reg::TriggerVthLow]));
    c.samplingCode = quint8(regs[Reg::Sampling]) & Reg::SamplingCodeMask;
    c.useT0 = useT0;
    return c;
}

quint8 EmulatorState::statusByte() const
{
    return (quint8(regs[Reg::Status]) & ~Reg::StatusExecuting) | (armed ? Reg::StatusExecuting : 0x00);
}

void EmulatorState::refreshMonitor()
{
    const WaveformGenerator::Monitor m = generator.monitor(waveConfig(), monitorRng);
    uchar *p = reinterpret_cast<uchar *>(regs.data());
    qToBigEndian<qint16>(m.min, p + Reg::VthMonitorMin);
    qToBigEndian<qint16>(m.avg, p + Reg::VthMonitorAverage);
    qToBigEndian<qint16>(m.max, p + Reg::VthMonitorMax);
    applyFixedMonitor();
}

EmulatorWorker::EmulatorWorker(BoardEmulator *owner, EmulatorState *state)
    : owner(owner)
    , st(state)
{
}

EmulatorWorker::~EmulatorWorker() = default;

bool EmulatorWorker::setup(quint16 udpPort, quint16 tcpPort)
{
    udp = new QUdpSocket(this);
    if (!udp->bind(QHostAddress(QHostAddress::LocalHost), udpPort))
        return false;
    connect(udp, &QUdpSocket::readyRead, this, &EmulatorWorker::readDatagrams);

    server = new QTcpServer(this);
    if (!server->listen(QHostAddress(QHostAddress::LocalHost), tcpPort))
        return false;
    listenPort = server->serverPort();
    connect(server, &QTcpServer::newConnection, this, &EmulatorWorker::acceptConnection);

    rateTimer = new QTimer(this);
    rateTimer->setSingleShot(true);
    rateTimer->setTimerType(Qt::PreciseTimer);
    connect(rateTimer, &QTimer::timeout, this, &EmulatorWorker::pump);
    pieceTimer = new QTimer(this);
    pieceTimer->setSingleShot(true);
    pieceTimer->setTimerType(Qt::PreciseTimer);
    connect(pieceTimer, &QTimer::timeout, this, &EmulatorWorker::pump);

    QMutexLocker lock(&st->mutex);
    st->servedTcpPort = listenPort;
    st->boundUdpPort = udp->localPort();
    return true;
}

void EmulatorWorker::shutdown()
{
    if (client) {
        client->disconnect(this);
        client->abort();
        delete client;
        client = nullptr;
    }
    // Also sockets waiting for deleteLater and timers of delayed replies.
    qDeleteAll(findChildren<QObject *>(QString(), Qt::FindDirectChildrenOnly));
    udp = nullptr;
    server = nullptr;
    rateTimer = nullptr;
    pieceTimer = nullptr;
    partial.clear();
    st->connected = false;
}

void EmulatorWorker::updateListening()
{
    if (!server)
        return;
    bool refuse;
    {
        QMutexLocker lock(&st->mutex);
        const EmulatorState::FaultSetting &f = st->faults[BoardEmulator::RefuseStream];
        refuse = f.active && f.param == 0;
    }
    if (refuse && server->isListening())
        server->close();
    else if (!refuse && !server->isListening())
        server->listen(QHostAddress(QHostAddress::LocalHost), listenPort);
}

void EmulatorWorker::readDatagrams()
{
    while (udp && udp->hasPendingDatagrams()) {
        const QNetworkDatagram d = udp->receiveDatagram();
        if (!d.isValid())
            continue;
        // Loopback only: never answer anyone else.
        if (!d.senderAddress().isLoopback())
            continue;
        handleDatagram(d.data(), d.senderAddress(), quint16(d.senderPort()));
    }
}

void EmulatorWorker::handleDatagram(const QByteArray &dg, const QHostAddress &from, quint16 port)
{
    if (dg.size() < 8)
        return;
    const uchar *p = reinterpret_cast<const uchar *>(dg.constData());
    BoardEmulator::Request r;
    r.write = p[1] == 0x80;
    r.id = p[2];
    r.length = p[3];
    r.address = qFromBigEndian<quint32>(p + 4);

    QList<QByteArray> replies;
    int delay = 0;
    bool controlChanged = false;
    {
        QMutexLocker lock(&st->mutex);
        r.msecs = st->clock.elapsed();
        const bool valid = p[0] == 0xFF && (p[1] == 0xC0 || p[1] == 0x80) && r.length >= 1 && r.length <= 128
            && (!r.write || dg.size() >= 8 + r.length);
        const QByteArray writeData = r.write ? dg.mid(8, r.length) : QByteArray();
        QByteArray readData;
        bool bus;
        if (!valid || st->takeFault(BoardEmulator::BusError)) {
            bus = true;
        } else {
            bus = !process(r.write, r.address, r.length, writeData, readData);
            controlChanged = r.write && r.address <= quint32(Reg::Control) && r.address + r.length > quint32(Reg::Control);
        }
        r.data = r.write ? writeData : readData;
        r.busError = bus;
        st->requests << r;

        QByteArray reply = dg.left(8);
        if (bus)
            reply[1] = char(p[1] | 0x01);
        else if (!r.write)
            reply += readData;

        if (!st->takeFault(BoardEmulator::DropReplies)) {
            if (!bus && !r.write) {
                if (st->takeFault(BoardEmulator::ShortData))
                    reply.truncate(8 + r.length / 2);
                else if (st->takeFault(BoardEmulator::LongData))
                    reply.append(4, char(0xEE));
            }
            if (st->takeFault(BoardEmulator::StaleId))
                reply[2] = char((r.id - 1) & 0x7F);
            else if (st->takeFault(BoardEmulator::ForeignId))
                reply[2] = char(r.id | 0x80);
            if (st->takeFault(BoardEmulator::ShortReply))
                reply.truncate(7);
            if (st->takeFault(BoardEmulator::StaleThenReply)) {
                QByteArray stale = reply;
                if (stale.size() > 2)
                    stale[2] = char((r.id - 1) & 0x7F);
                replies << stale;
            }
            replies << reply;
            const EmulatorState::FaultSetting &d = st->faults[BoardEmulator::DelayReplies];
            if (d.active)
                delay = d.param;
        }
    }
    for (const QByteArray &reply : std::as_const(replies))
        sendReply(reply, from, port, delay);
    owner->notifyRequest();
    if (controlChanged)
        pump();
}

// Carries out one access; false = bus error. Called with the mutex held.
bool EmulatorWorker::process(bool write, quint32 address, int length, const QByteArray &data, QByteArray &readData)
{
    const auto within = [&](quint32 base, int size) {
        return address >= base && quint64(address) + quint64(length) <= quint64(base) + quint64(size);
    };

    if (within(0, RegisterCount)) {
        if (!write) {
            const quint32 status = Reg::Status;
            if (address < status + Reg::StatusLength && address + length > status)
                st->refreshMonitor();
            readData = st->regs.mid(int(address), length);
            if (address <= status && address + length > status)
                readData[int(status - address)] = char(st->statusByte());
            return true;
        }
        for (int i = 0; i < length; ++i) {
            const int index = int(address) + i;
            if (index < Reg::FpgaVersion + Reg::FpgaVersionLength
                || (index >= Reg::VthMonitor && index < Reg::Status + Reg::StatusLength))
                continue; // FPGA version and signal monitor are the board's own
            st->regs[index] = data[i];
            if (index == Reg::Control)
                controlWritten(quint8(data[i]));
        }
        return true;
    }
    if (within(EepromBase, BoardEmulator::EepromPages * BoardEmulator::EepromPageSize)) {
        const int offset = int(address - EepromBase);
        if (!write)
            readData = st->eeprom.mid(offset, length);
        else if (quint8(st->regs[Reg::RomWrite]) == Reg::RomWriteEnable)
            st->eeprom.replace(offset, length, data);
        return true;
    }
    if (within(InfoAddress, BoardEmulator::InfoBlockSize)) {
        const int offset = int(address - InfoAddress);
        if (!write)
            readData = st->info.mid(offset, length);
        else if (st->protect == 0x00)
            st->info.replace(offset, length, data);
        return true;
    }
    if (within(ProtectAddress, 1)) {
        if (write)
            st->protect = quint8(data[0]);
        else
            readData = QByteArray(1, char(st->protect));
        return true;
    }
    if (within(ControlAddress, 1)) {
        if (write)
            st->control = quint8(data[0]);
        else
            readData = QByteArray(1, char(st->control));
        return true;
    }
    const auto readWord = [&](quint32 base, quint16 value) {
        QByteArray w(2, '\0');
        qToBigEndian<quint16>(value, reinterpret_cast<uchar *>(w.data()));
        readData = w.mid(int(address - base), length);
    };
    if (within(TcpPortAddress, 2)) {
        if (write)
            return false;
        readWord(TcpPortAddress, st->servedTcpPort);
        return true;
    }
    if (within(WaitTimeAddress, 2)) {
        if (write)
            return false;
        readWord(WaitTimeAddress, st->waitTime);
        return true;
    }
    return false;
}

// A write of the ControlRegister. Called with the mutex held.
void EmulatorWorker::controlWritten(quint8 value)
{
    if (value & Reg::ControlReset) {
        st->armed = false;
        st->continuous = false;
        st->eventIndex = 0;
    }
    if (value & Reg::ControlStop) {
        st->armed = false;
        st->continuous = false;
    }
    if (value & Reg::ControlStart) {
        st->armed = true;
        st->continuous = value & Reg::ControlContinuous;
        st->useT0 = value & Reg::ControlT0;
        runPaced = false; // pacing starts afresh
    }
}

void EmulatorWorker::sendReply(const QByteArray &reply, const QHostAddress &to, quint16 port, int delayMs)
{
    if (!udp)
        return;
    if (delayMs <= 0) {
        udp->writeDatagram(reply, to, port);
        return;
    }
    // A child timer, so that shutdown takes pending replies with it.
    auto *t = new QTimer(this);
    t->setSingleShot(true);
    connect(t, &QTimer::timeout, this, [this, t, reply, to, port] {
        if (udp)
            udp->writeDatagram(reply, to, port);
        t->deleteLater();
    });
    t->start(delayMs);
}

void EmulatorWorker::acceptConnection()
{
    while (server && server->hasPendingConnections()) {
        QTcpSocket *s = server->nextPendingConnection();
        bool refuse;
        {
            QMutexLocker lock(&st->mutex);
            refuse = st->faults[BoardEmulator::RefuseStream].active;
        }
        if (refuse) {
            s->abort();
            s->deleteLater();
            continue;
        }
        if (client)
            dropClient();
        client = s;
        client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(client, &QTcpSocket::disconnected, this, &EmulatorWorker::clientGone);
        connect(client, &QTcpSocket::bytesWritten, this, &EmulatorWorker::pump);
        connect(client, &QTcpSocket::readyRead, client, [s] { s->readAll(); });
        connectionBlocks = 0;
        partial.clear();
        st->connected = true;
    }
    pump();
}

void EmulatorWorker::dropClient()
{
    client->disconnect(this);
    client->abort();
    client->deleteLater();
    client = nullptr;
    partial.clear();
    st->connected = false;
}

void EmulatorWorker::clientGone()
{
    if (sender() != client || !client)
        return;
    client->disconnect(this);
    client->deleteLater();
    client = nullptr;
    partial.clear();
    st->connected = false;
}

// Sends what is due of a block in progress; true when it has gone out whole.
bool EmulatorWorker::continuePartial()
{
    while (partialOffset < partialLimit) {
        const int rest = partialLimit - partialOffset;
        if (pieceSize < rest) {
            // One piece at a time, each after the last has left the socket.
            if (client->bytesToWrite() > 0 || pieceTimer->isActive())
                return false;
            client->write(partial.constData() + partialOffset, pieceSize);
            partialOffset += pieceSize;
            pieceTimer->start(1);
            return false;
        }
        if (pieceSize < partialLimit && (client->bytesToWrite() > 0 || pieceTimer->isActive()))
            return false;
        client->write(partial.constData() + partialOffset, rest);
        partialOffset = partialLimit;
    }
    partial.clear();
    if (closeAfterPartial) {
        closeAfterPartial = false;
        client->disconnectFromHost();
        return false;
    }
    return true;
}

void EmulatorWorker::pump()
{
    if (!client || client->state() != QAbstractSocket::ConnectedState)
        return;
    if (!partial.isEmpty() && !continuePartial())
        return;
    // A closing socket after a cut-off block takes nothing more.
    if (!client || client->state() != QAbstractSocket::ConnectedState)
        return;

    for (;;) {
        if (client->bytesToWrite() >= QueuedBlocks * BlockSize)
            return; // bytesWritten brings us back
        QByteArray block;
        qint64 index;
        bool cut = false;
        int pieces = 0;
        {
            QMutexLocker lock(&st->mutex);
            if (!st->armed || st->faults[BoardEmulator::HoldTrigger].active)
                return;
            if (st->continuous && st->rate > 0) {
                if (!runPaced || pacedRate != st->rate) {
                    runPaced = true;
                    pacedRate = st->rate;
                    runClock.start();
                    runBlocks = 0;
                }
                const qint64 elapsed = runClock.nsecsElapsed();
                const qint64 due = qint64(double(elapsed) * st->rate / 1e9) + 1;
                if (runBlocks >= due) {
                    // Whole milliseconds by the timer; the last fraction comes
                    // back through the event loop at once, so rates above
                    // 1000/s keep their pace.
                    const double next = double(runBlocks) * 1e9 / st->rate;
                    const qint64 waitNs = qint64(next - double(elapsed));
                    rateTimer->start(waitNs >= 1000000 ? int(waitNs / 1000000) : 0);
                    return;
                }
                // Triggers missed while the reader was slow (or the timer late)
                // are sent as a burst, up to the backlog.
                const qint64 backlog = qMax<qint64>(MaxBacklog, qint64(st->rate) * BacklogMs / 1000);
                if (due - runBlocks > backlog)
                    runBlocks = due - 1;
                ++runBlocks;
            }
            block = st->generator.block(st->eventIndex, st->waveConfig());
            ++st->eventIndex;
            if (!st->continuous)
                st->armed = false;
            index = st->blocksSent++;

            const EmulatorState::FaultSetting &bad = st->faults[BoardEmulator::BadHeader];
            if (bad.active && bad.param == connectionBlocks) {
                block.detach();
                std::fill(block.begin(), block.begin() + Event::HeaderSize, '\0');
            }
            const EmulatorState::FaultSetting &close = st->faults[BoardEmulator::CloseMidBlock];
            cut = close.active && close.param == connectionBlocks;
            const EmulatorState::FaultSetting &small = st->faults[BoardEmulator::SmallPieces];
            if (small.active)
                pieces = small.param > 0 ? small.param : DefaultPieceSize;
            if (st->recordBlocks)
                st->blocks << block;
        }
        ++connectionBlocks;

        if (!cut && !pieces) {
            client->write(block);
            owner->notifyBlock(index);
            continue;
        }
        partial = block;
        partialOffset = 0;
        partialLimit = cut ? BlockSize / 2 : BlockSize;
        pieceSize = pieces ? pieces : partialLimit;
        closeAfterPartial = cut;
        const bool done = continuePartial();
        owner->notifyBlock(index);
        if (!done)
            return;
    }
}

void EmulatorState::applyFixedMonitor()
{
    if (!monitorFixed)
        return;
    uchar *p = reinterpret_cast<uchar *>(regs.data());
    for (int i = 0; i < 3; ++i)
        qToBigEndian<qint16>(fixedMonitor[i], p + Reg::VthMonitor + 2 * i);
}

bool EmulatorWorker::setRegisterPortOpen(bool open)
{
    if (!open) {
        delete udp;
        udp = nullptr;
        return true;
    }
    if (udp)
        return true;
    quint16 port;
    {
        QMutexLocker lock(&st->mutex);
        port = st->boundUdpPort;
    }
    udp = new QUdpSocket(this);
    if (!udp->bind(QHostAddress(QHostAddress::LocalHost), port)) {
        delete udp;
        udp = nullptr;
        return false;
    }
    connect(udp, &QUdpSocket::readyRead, this, &EmulatorWorker::readDatagrams);
    return true;
}
