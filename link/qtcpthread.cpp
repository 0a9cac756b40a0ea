#include "qtcpthread.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QTcpSocket>
#include <chrono>
#include <thread>

namespace {

const int WaitMs = 1000;      // connect and read waits
const int ArmWaitMs = 100;    // longest sleep for the consumer's re-arm
const qint64 ArmSpinNs = 50000; // spin this long for the re-arm before sleeping
const quint64 ConnectWaitLimit = 100000000;

qint64 steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

QTcpThread::QTcpThread(const QString &host, quint16 port, QObject *parent)
    : QThread(parent)
    , host(host)
    , port(port)
{
}

QTcpThread::~QTcpThread()
{
    stop();
    delete socket;
}

void QTcpThread::abort()
{
    abortFlag.store(true, std::memory_order_seq_cst);
    QMutexLocker lock(&armMutex);
    armed.wakeAll();
    handed.wakeAll();
}

void QTcpThread::drain()
{
    drainDeadline.store(steadyMs() + DrainLimitMs, std::memory_order_relaxed);
    drainFlag.store(true, std::memory_order_seq_cst);
}

void QTcpThread::stop()
{
    abort();
    if (QThread::currentThread() == this)
        return;
    wait();
}

void QTcpThread::rearm()
{
    // The consumer's copy of the block happens before the thread writes into
    // the buffer again. The reader is woken only when it went to sleep.
    blockReady.store(false, std::memory_order_relaxed);
    bufferArmed.store(true, std::memory_order_seq_cst);
    if (readerSleeping.load(std::memory_order_seq_cst)) {
        QMutexLocker lock(&armMutex);
        armed.wakeAll();
    }
}

bool QTcpThread::waitForBlock(int ms)
{
    if (blockReady.load(std::memory_order_acquire))
        return true;
    QDeadlineTimer deadline(ms);
    QMutexLocker lock(&armMutex);
    consumerSleeping.store(true, std::memory_order_seq_cst);
    while (!blockReady.load(std::memory_order_seq_cst) && isRunning() && !deadline.hasExpired())
        handed.wait(&armMutex, qMin<qint64>(deadline.remainingTime(), 20));
    consumerSleeping.store(false, std::memory_order_relaxed);
    return blockReady.load(std::memory_order_acquire);
}

void QTcpThread::connectionClosedByServer()
{
    // Connected directly to the socket, so this runs in the reader thread
    // while the socket exists. The read loop still takes what the socket
    // has buffered and then ends with this text.
    if (QThread::currentThread() != this || !socket)
        return;
    if (abortFlag.load(std::memory_order_acquire) || drainFlag.load(std::memory_order_acquire))
        return;
    if (errorText.isEmpty())
        setSocketError();
}

void QTcpThread::setSocketError()
{
    errorText = QStringLiteral("%1:%2 ").arg(host).arg(port) + socket->errorString();
}

void QTcpThread::run()
{
    bufferArmed.store(true, std::memory_order_release);
    buffer.resize(BlockSize);

    socket = new QTcpSocket;
    connect(socket, &QTcpSocket::disconnected, this, &QTcpThread::connectionClosedByServer,
            Qt::DirectConnection);
    socket->connectToHost(host, port, QIODevice::ReadOnly);

    if (connectPhase())
        readPhase();

    socket->close();
    if (abortFlag.load(std::memory_order_acquire) && !errorText.isEmpty())
        emit err(errorText);
    delete socket;
    socket = nullptr;
    {
        QMutexLocker lock(&armMutex);
        handed.wakeAll();
    }
    emit disconnected();
}

// True when the connection stands and the stream may be read.
bool QTcpThread::connectPhase()
{
    quint64 failedWaits = 0;
    while (!abortFlag.load(std::memory_order_acquire)) {
        // A drain asked for before the stream stood has nothing to take.
        if (drainFlag.load(std::memory_order_acquire))
            break;
        if (socket->waitForConnected(WaitMs)) {
            if (abortFlag.load(std::memory_order_acquire) || drainFlag.load(std::memory_order_acquire))
                break;
            socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
            emit sockConnected();
            return true;
        }
        if (abortFlag.load(std::memory_order_acquire) || drainFlag.load(std::memory_order_acquire))
            break;
        // The connection is requested once: a socket that is no longer
        // connecting (refused, unreachable, timed out) never will.
        if (socket->state() == QAbstractSocket::UnconnectedState || ++failedWaits > ConnectWaitLimit) {
            if (socket->error() == QAbstractSocket::UnknownSocketError)
                errorText = QStringLiteral("%1:%2 Connection timed out").arg(host).arg(port);
            else
                setSocketError();
            abortFlag.store(true, std::memory_order_release);
            return false;
        }
    }
    errorText = QStringLiteral("Aborted");
    abortFlag.store(true, std::memory_order_release);
    return false;
}

// Waits for the consumer's re-arm: a short spin first (the consumer usually
// takes the block within microseconds), then sleeps of at most ArmWaitMs.
// True once armed.
bool QTcpThread::waitArmed()
{
    if (bufferArmed.load(std::memory_order_acquire))
        return true;
    QElapsedTimer spin;
    spin.start();
    do {
        std::this_thread::yield();
        if (bufferArmed.load(std::memory_order_acquire))
            return true;
    } while (spin.nsecsElapsed() < ArmSpinNs && !abortFlag.load(std::memory_order_relaxed));

    QMutexLocker lock(&armMutex);
    readerSleeping.store(true, std::memory_order_seq_cst);
    if (!bufferArmed.load(std::memory_order_seq_cst) && !abortFlag.load(std::memory_order_acquire))
        armed.wait(&armMutex, ArmWaitMs);
    readerSleeping.store(false, std::memory_order_relaxed);
    return bufferArmed.load(std::memory_order_acquire);
}

void QTcpThread::handOver()
{
    bufferArmed.store(false, std::memory_order_relaxed);
    blockReady.store(true, std::memory_order_seq_cst);
    emit received(&buffer);
    if (consumerSleeping.load(std::memory_order_seq_cst)) {
        QMutexLocker lock(&armMutex);
        handed.wakeAll();
    }
}

void QTcpThread::readPhase()
{
    qint64 offset = 0;
    while (!abortFlag.load(std::memory_order_acquire)) {
        const bool draining = drainFlag.load(std::memory_order_acquire);
        if (draining && steadyMs() > drainDeadline.load(std::memory_order_relaxed))
            break; // the board never went quiet
        if (!waitArmed())
            continue;
        // The consumer may have swapped another array in.
        if (offset == 0 && buffer.size() != BlockSize)
            buffer.resize(BlockSize);
        // What the socket already holds is read before waiting for more.
        if (socket->bytesAvailable() <= 0 && !socket->waitForReadyRead(WaitMs)) {
            if (abortFlag.load(std::memory_order_acquire))
                break;
            if (socket->bytesAvailable() > 0)
                continue;
            // A time-out on a valid socket is the idle time between triggers;
            // once a drain is asked for, it means the board has stopped.
            if (socket->isValid() && socket->error() == QAbstractSocket::SocketTimeoutError) {
                if (drainFlag.load(std::memory_order_acquire))
                    break;
                continue;
            }
            // A board that closes the stream after its last block while a
            // drain waits for it has simply finished.
            if (drainFlag.load(std::memory_order_acquire)
                && socket->error() == QAbstractSocket::RemoteHostClosedError)
                break;
            setSocketError();
            abortFlag.store(true, std::memory_order_release);
            break;
        }
        if (abortFlag.load(std::memory_order_acquire))
            break;

        // data() detaches from a copy the consumer still holds.
        char *data = buffer.data();
        const qint64 n = socket->read(data + offset, BlockSize - offset);
        if (n < 0) {
            setSocketError();
            abortFlag.store(true, std::memory_order_release);
            break;
        }
        if (n == 0) {
            if (socket->isValid() && socket->error() == QAbstractSocket::SocketTimeoutError)
                continue;
            setSocketError();
            abortFlag.store(true, std::memory_order_release);
            break;
        }
        // Every block's header is checked as soon as its first four bytes are in.
        if (offset < HeaderSize && offset + n >= HeaderSize
            && !Event::hasHeader(reinterpret_cast<const uchar *>(data))) {
            errorText = QStringLiteral("Failed to read header on stream TCP") + QStringLiteral("\nPlease reconnect.");
            abortFlag.store(true, std::memory_order_release);
            break;
        }
        offset += n;
        if (offset == BlockSize) {
            handOver();
            offset = 0;
        }
    }
}
