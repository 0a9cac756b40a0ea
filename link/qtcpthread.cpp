#include "qtcpthread.h"

#include <QMutexLocker>
#include <QTcpSocket>
#include <cstring>

namespace {

const int WaitMs = 1000;      // connect and read waits
const int ArmWaitMs = 100;    // longest wait for the consumer's re-arm
const quint64 ConnectWaitLimit = 100000000;
const char Header[QTcpThread::HeaderSize] = {'\x55', '\x55', '\xAA', '\xAA'};

} // namespace

QTcpThread::QTcpThread(const QString &host, quint16 port, QObject *parent)
    : QThread(parent)
    , host(host)
    , port(port)
{
    if (!parent)
        return;
    const QMetaObject *mo = parent->metaObject();
    auto link = [&](const char *signal, const char *slotName, const char *slot) {
        if (mo->indexOfSlot(slotName) >= 0)
            connect(this, signal, parent, slot);
    };
    link(SIGNAL(sockConnected()), "connected()", SLOT(connected()));
    link(SIGNAL(disconnected()), "connectionClosed()", SLOT(connectionClosed()));
    link(SIGNAL(err(QString)), "error(QString)", SLOT(error(QString)));
    link(SIGNAL(received(QByteArray*)), "updateData(QByteArray*)", SLOT(updateData(QByteArray*)));
}

QTcpThread::~QTcpThread()
{
    stop();
    delete socket;
}

void QTcpThread::abort()
{
    abortFlag.store(true, std::memory_order_release);
    QMutexLocker lock(&armMutex);
    armed.wakeAll();
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
    // Release: the consumer's copy of the block happens before the thread
    // writes into the buffer again.
    bufferArmed.store(true, std::memory_order_release);
    QMutexLocker lock(&armMutex);
    armed.wakeAll();
}

void QTcpThread::connectionClosedByServer()
{
    // Connected directly to the socket, so this runs in the reader thread
    // while the socket exists. The read loop still takes what the socket
    // has buffered and then ends with this text.
    if (QThread::currentThread() != this || !socket)
        return;
    if (abortFlag.load(std::memory_order_acquire))
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
    emit disconnected();
}

// True when the connection stands and the stream may be read.
bool QTcpThread::connectPhase()
{
    quint64 failedWaits = 0;
    while (!abortFlag.load(std::memory_order_acquire)) {
        if (socket->waitForConnected(WaitMs)) {
            if (abortFlag.load(std::memory_order_acquire))
                break;
            socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
            emit sockConnected();
            return true;
        }
        if (abortFlag.load(std::memory_order_acquire))
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
    return false;
}

// Waits at most ArmWaitMs for the consumer's re-arm; true once armed.
bool QTcpThread::waitArmed()
{
    if (bufferArmed.load(std::memory_order_acquire))
        return true;
    QMutexLocker lock(&armMutex);
    if (!bufferArmed.load(std::memory_order_acquire) && !abortFlag.load(std::memory_order_acquire))
        armed.wait(&armMutex, ArmWaitMs);
    return bufferArmed.load(std::memory_order_acquire);
}

void QTcpThread::readPhase()
{
    qint64 offset = 0;
    while (!abortFlag.load(std::memory_order_acquire)) {
        if (!waitArmed())
            continue;
        // What the socket already holds is read before waiting for more.
        if (socket->bytesAvailable() <= 0 && !socket->waitForReadyRead(WaitMs)) {
            if (abortFlag.load(std::memory_order_acquire))
                break;
            if (socket->bytesAvailable() > 0)
                continue;
            // A time-out on a valid socket is the idle time between triggers.
            if (socket->isValid() && socket->error() == QAbstractSocket::SocketTimeoutError)
                continue;
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
            && memcmp(data, Header, HeaderSize) != 0) {
            errorText = QStringLiteral("Failed to read header on stream TCP") + QStringLiteral("\nPlease reconnect.");
            abortFlag.store(true, std::memory_order_release);
            break;
        }
        offset += n;
        if (offset == BlockSize) {
            bufferArmed.store(false, std::memory_order_relaxed);
            emit received(&buffer);
            offset = 0;
        }
    }
}
