#include "qtelvo.h"

#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QUdpSocket>

#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

namespace {

const quint8 CommandRead = 0xC0;
const quint8 CommandWrite = 0x80;
const int HeaderSize = 8;

// Network-processor address space.
const quint32 AddrInfoBlock = 0xFFFFFC10;
const quint32 AddrIpAndTcpPort = 0xFFFFFC18;
const quint32 AddrUdpPort = 0xFFFFFC22;
const quint32 AddrWriteProtect = 0xFFFFFCFF;
const quint32 AddrControl = 0xFFFFFF10;
const quint32 AddrTcpPort = 0xFFFFFF1C;
const quint32 AddrWaitTime = 0xFFFFFF2C;
const int InfoBlockSize = 20;
const quint8 KeepAliveBit = 0x04;
// 100 ms waits of the one try that undoes a step after a failure.
const int RestoreWaitCount = 10;

QString hex32(quint32 value)
{
    return QString::number(value, 16).rightJustified(8, QLatin1Char('0'));
}

void putBigEndian32(char *out, quint32 value)
{
    out[0] = char(value >> 24);
    out[1] = char(value >> 16);
    out[2] = char(value >> 8);
    out[3] = char(value);
}

// Lines naming the failed chunk, then the exception.
[[noreturn]] void chunkFailed(QString &errorText, const QString &kind, quint32 address,
                              quint8 length, int code)
{
    errorText += QStringLiteral("%1 address: 0x%2\n").arg(kind, hex32(address));
    errorText += QStringLiteral("length: %1\n\n").arg(length);
    throw QTelvo::ErrSts{code};
}

} // namespace

QTelvo::QTelvo(QObject *parent)
    : QThread(parent)
{
}

QTelvo::~QTelvo()
{
    stop();
    // The socket belongs to the thread that opened it; that thread has ended
    // here (or it is the current one), so it can go without its event loop.
    delete socket;
    socket = nullptr;
}

void QTelvo::setHost(const QHostAddress &host, quint16 udpPort, quint16 tcpPort)
{
    this->host = host;
    this->udpPort = udpPort;
    boardTcpPort = tcpPort;
}

void QTelvo::abort()
{
    abortFlag = true;
    QMutexLocker lock(&pauseMutex);
    pauseWake.wakeAll();
}

void QTelvo::stop()
{
    abort();
    // From inside the run itself there is nothing to wait for.
    if (QThread::currentThread() == this)
        return;
    // A run that began just before this call clears the flag in openSocket,
    // so it is set again on every pass.
    // wait() returns once the thread's own clean-up is over too.
    while (!QThread::wait(100))
        abort();
}

// Sleeps up to ms milliseconds; a stop or abort ends the sleep at once.
void QTelvo::pause(int ms)
{
    QDeadlineTimer deadline(ms);
    QMutexLocker lock(&pauseMutex);
    while (!abortFlag && !deadline.hasExpired())
        pauseWake.wait(&pauseMutex, deadline);
}

void QTelvo::notifyClosed()
{
    emit closed(closedFlag);
}

void QTelvo::setTimeout(int seconds)
{
    if (seconds > 0)
        waitCount = seconds * 10;
}

void QTelvo::setRetry(int retries)
{
    if (retries > 0)
        tries = retries + 1;
}

quint16 QTelvo::tcpPort()
{
    return boardTcpPort;
}

quint16 QTelvo::waitTime()
{
    return boardWaitTime;
}

int QTelvo::readByte(quint32 address, quint8 *value)
{
    return readChunk(address, value, 1);
}

int QTelvo::read(quint32 address, uchar *data, uint length)
{
    if (length == 0)
        return 0;
    uint offset = 0;
    uint remaining = length;
    for (;;) {
        const quint8 piece = quint8(qMin(remaining, uint(chunkSize)));
        const int n = readChunk(address + offset, data ? data + offset : nullptr, piece);
        if (n != piece)
            return int(offset);
        if (piece == remaining)
            return int(length);
        remaining -= piece;
        offset += piece;
    }
}

int QTelvo::readExact(quint32 address, uchar *data, uint length)
{
    const int n = read(address, data, length);
    if (uint(n) == length)
        return n;
    errorText += QStringLiteral("address: 0x%1\n").arg(hex32(address));
    errorText += QStringLiteral("request length: %1\n").arg(length);
    errorText += QStringLiteral("read length: %1\n\n").arg(n);
    throw ErrSts{ErrRead};
}

bool QTelvo::readWord(quint32 address, quint16 *value)
{
    uchar buffer[2] = {0, 0};
    if (read(address, buffer, 2) == 0)
        return false;
    *value = quint16(buffer[0] * 256 + buffer[1]);
    return true;
}

int QTelvo::writeByte(quint32 address, quint8 value)
{
    return writeChunk(address, &value, 1);
}

int QTelvo::write(quint32 address, const uchar *data, uint length)
{
    if (length == 0)
        return 0;
    uint offset = 0;
    uint remaining = length;
    for (;;) {
        const quint8 piece = quint8(qMin(remaining, uint(chunkSize)));
        const int n = writeChunk(address + offset, data + offset, piece);
        if (n != piece)
            return int(offset);
        if (piece == remaining)
            return int(length);
        remaining -= piece;
        offset += piece;
    }
}

int QTelvo::writeExact(quint32 address, const uchar *data, uint length)
{
    const int n = write(address, data, length);
    if (uint(n) == length)
        return n;
    throw ErrSts{ErrWrite};
}

void QTelvo::writeNetworkSettings(quint32 ip, quint16 udpPort, quint16 tcpPort)
{
    if (!cancelWriteProtect(true))
        throw QStringLiteral("Unable to cancel Write Protect for EEPROM");

    bool ok;
    try {
        quint8 flags = 0;
        if (read(AddrInfoBlock, &flags, 1) == 0)
            ok = false;
        else if (flags & KeepAliveBit)
            ok = true;
        else
            ok = writeByte(AddrInfoBlock, quint8(flags | KeepAliveBit)) > 0;

        if (ok) {
            uchar settings[6];
            putBigEndian32(reinterpret_cast<char *>(settings), ip);
            settings[4] = uchar(tcpPort >> 8);
            settings[5] = uchar(tcpPort);
            const uchar port[2] = {uchar(udpPort >> 8), uchar(udpPort)};
            ok = write(AddrIpAndTcpPort, settings, sizeof settings) > 0
                 && write(AddrUdpPort, port, sizeof port) > 0;
        }
    } catch (...) {
        undoAfterFailure([this] { cancelWriteProtect(false); });
        throw;
    }

    if (!cancelWriteProtect(false) || !ok)
        throw QStringLiteral("Unable to access EEPROM");
}

// Inside the handler of a failed step: undoes what the step left on the
// board (the write protect cancelled, the EEPROM gate open) with one short
// try, whose own failure is ignored; the error keeps the first failure's
// texts.
void QTelvo::undoAfterFailure(const std::function<void()> &step)
{
    const QString failureText = errorText;
    const QString failureSocketText = socketErrorText;
    const int savedTries = tries;
    const int savedWaitCount = waitCount;
    tries = 1;
    waitCount = qMin(waitCount, RestoreWaitCount);
    try {
        step();
    } catch (...) {
    }
    tries = savedTries;
    waitCount = savedWaitCount;
    errorText = failureText;
    socketErrorText = failureSocketText;
}

bool QTelvo::cancelWriteProtect(bool cancel)
{
    return writeByte(AddrWriteProtect, cancel ? 0x00 : 0xFF) > 0;
}

bool QTelvo::setControlBit7()
{
    quint8 value = 0;
    if (readByte(AddrControl, &value) <= 0)
        return false;
    return writeByte(AddrControl, quint8(value | 0x80)) > 0;
}

bool QTelvo::eepromInformation(QString *out)
{
    if (eepromInfo.isEmpty())
        return false;
    QByteArray block = eepromInfo;
    if (block.size() < InfoBlockSize)
        block.append(InfoBlockSize - block.size(), '\0');
    auto byte = [&block](int i) { return uint(uchar(block.at(i))); };
    const QLatin1Char zero('0');

    QString text = QStringLiteral("--------- Vortiq(EEPROM) Information ---------\n");
    text += QStringLiteral("MAC Address : ");
    text += QStringLiteral("%1").arg(byte(2), 2, 16, zero).toUpper();
    for (int i = 3; i <= 7; ++i)
        text += QStringLiteral(":%1").arg(byte(i), 2, 16, zero).toUpper();
    text += QLatin1Char('\n');
    text += QStringLiteral("IP Address : %1").arg(byte(8), 2, 10, zero);
    for (int i = 9; i <= 11; ++i)
        text += QStringLiteral(".%1").arg(byte(i), 2, 10, zero);
    text += QLatin1Char('\n');
    text += QStringLiteral("TCP Port : %1\n").arg(byte(12) * 256 + byte(13));
    text += QStringLiteral("UDP Port : %1\n").arg(byte(18) * 256 + byte(19));
    text += QStringLiteral("Keep Alive : ");
    text += (byte(0) & KeepAliveBit) ? QStringLiteral("ON\n") : QStringLiteral("OFF\n");
    out->append(text);
    return true;
}

bool QTelvo::readEepromInformation()
{
    // Bytes a short reply leaves out read as 0.
    eepromInfo.fill('\0', InfoBlockSize);
    if (read(AddrInfoBlock, reinterpret_cast<uchar *>(eepromInfo.data()), InfoBlockSize) == 0) {
        eepromInfo.clear();
        return false;
    }
    // Each word changes only when it was read.
    quint16 port = boardTcpPort;
    if (!readTcpPort(&port)) {
        eepromInfo.clear();
        return false;
    }
    boardTcpPort = port;
    quint16 wait = boardWaitTime;
    if (!readWaitTime(&wait)) {
        eepromInfo.clear();
        return false;
    }
    boardWaitTime = wait;
    return true;
}

bool QTelvo::readTcpPort(quint16 *value)
{
    return readWord(AddrTcpPort, value);
}

bool QTelvo::readWaitTime(quint16 *value)
{
    return readWord(AddrWaitTime, value);
}

void QTelvo::appendErrorText(int code)
{
    switch (code) {
    case ErrAborted:
        errorText += QStringLiteral("QTelvo: Aborted");
        break;
    case ErrWrite:
        errorText += QStringLiteral("QTelvo: Unable to write");
        break;
    case ErrRead:
        errorText += QStringLiteral("QTelvo: Unable to read");
        break;
    case ErrBus:
        errorText += QStringLiteral("QTelvo: Bus Error");
        break;
    case ErrTimeout:
        errorText += QStringLiteral("QTelvo: Socket operation timed out");
        break;
    default:
        if (!socketErrorText.isEmpty())
            errorText += socketErrorText;
        else
            errorText += socket ? socket->errorString() : QStringLiteral("Unknown error");
        break;
    }
}

qint8 QTelvo::buildReadPacket(quint32 address, quint8 length)
{
    const qint8 id = nextId();
    packet.resize(HeaderSize);
    char *p = packet.data();
    p[0] = char(0xFF);
    p[1] = char(CommandRead);
    p[2] = char(id);
    p[3] = char(length);
    putBigEndian32(p + 4, address);
    return id;
}

// transact() with the address lines added to a socket error, so its text
// names the access that failed. A reply too short to be one (the packet then
// holds it, under 8 bytes) passes through without lines.
int QTelvo::transactChunk(qint8 id, const char *kind, quint32 address, quint8 length)
{
    try {
        return transact(id);
    } catch (const ErrSts &e) {
        if (e.code == ErrSocket && packet.size() >= HeaderSize)
            chunkFailed(errorText, QLatin1String(kind), address, length, ErrSocket);
        throw;
    }
}

int QTelvo::readChunk(quint32 address, uchar *data, quint8 length)
{
    for (int t = 0; t < tries; ++t) {
        const int rc = transactChunk(buildReadPacket(address, length), "read", address, length);
        if (rc == ErrBus)
            chunkFailed(errorText, QStringLiteral("read"), address, length, ErrBus);
        if (rc == ErrTimeout)
            continue;
        int n = rc - HeaderSize;
        if (n > int(length))
            n = length;
        if (!data || n <= 0)
            return n;
        std::memcpy(data, packet.constData() + HeaderSize, size_t(n));
        return n;
    }
    chunkFailed(errorText, QStringLiteral("read"), address, length, ErrTimeout);
}

qint8 QTelvo::buildWritePacket(quint32 address, const uchar *data, quint8 length)
{
    const qint8 id = nextId();
    packet.resize(HeaderSize + length);
    char *p = packet.data();
    p[0] = char(0xFF);
    p[1] = char(CommandWrite);
    p[2] = char(id);
    p[3] = char(length);
    putBigEndian32(p + 4, address);
    if (length)
        std::memcpy(p + HeaderSize, data, length);
    return id;
}

int QTelvo::writeChunk(quint32 address, const uchar *data, quint8 length)
{
    for (int t = 0; t < tries; ++t) {
        const int rc = transactChunk(buildWritePacket(address, data, length), "write", address, length);
        if (rc == ErrBus)
            chunkFailed(errorText, QStringLiteral("write"), address, length, ErrBus);
        if (rc == ErrTimeout)
            continue;
        return length;
    }
    chunkFailed(errorText, QStringLiteral("write"), address, length, ErrTimeout);
}

bool QTelvo::openSocket()
{
    errorText.clear();
    abortFlag = false;
    closedFlag = false;
    if (socket)
        return true;
    if (host.isNull())
        return false;
    socket = new QUdpSocket;
    socket->connectToHost(host, udpPort, QIODevice::ReadWrite);
    return true;
}

// The error an ICMP message (port unreachable: the board is off) left on the
// socket, taken from it; 0 when there is none.
static int takePendingError(QUdpSocket *socket)
{
#ifdef Q_OS_UNIX
    int code = 0;
    socklen_t length = sizeof code;
    if (::getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_ERROR, &code, &length) == 0)
        return code;
#else
    Q_UNUSED(socket);
#endif
    return 0;
}

int QTelvo::transact(qint8 id)
{
    socketErrorText.clear();
    if (abortFlag)
        throw ErrSts{ErrAborted};
    if (!socket || socket->write(packet) <= 0)
        throw ErrSts{ErrSocket};

    for (int count = 0; count < waitCount; ++count) {
        if (abortFlag)
            throw ErrSts{ErrAborted};
        if (!socket->waitForReadyRead(100))
            continue;
        // The socket's own text would be stale or "Unknown error" here.
        if (const int pending = takePendingError(socket)) {
            socketErrorText = qt_error_string(pending);
            throw ErrSts{ErrSocket};
        }
        // A pending error (e.g. port unreachable) shows as a size of -1:
        // reading it makes the socket report its cause.
        const qint64 size = socket->pendingDatagramSize();
        if (size < 0) {
            char scratch[HeaderSize];
            socket->readDatagram(scratch, sizeof scratch);
            throw ErrSts{ErrSocket};
        }
        packet.resize(size);
        const qint64 length = socket->readDatagram(packet.data(), size);
        if (length < HeaderSize)
            throw ErrSts{ErrSocket};
        if (id < 0)
            return int(length);
        if (qint8(packet.at(2)) == id)
            return (packet.at(1) & 0x01) ? int(ErrBus) : int(length);
        // A reply to an earlier request: dropped, counts as one wait.
    }
    return ErrTimeout;
}

qint8 QTelvo::nextId()
{
    int id = packetId + 1;
    if (id >= 128)
        id = 0;
    packetId = qint8(id);
    return packetId;
}
