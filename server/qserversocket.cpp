#include "qserversocket.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <QStringList>
#include <QTcpSocket>
#include <QThread>

#ifdef Q_OS_UNIX
#include <poll.h>
#endif

QServerSocket::QServerSocket(quint64 id, QTcpSocket *socket, QObject *parent)
    : QObject(parent), socket(socket), clientId(id), lineBuffer(QLatin1String(""))
{
    connect(socket, &QTcpSocket::readyRead, this, &QServerSocket::getPacket);
    connect(socket, &QTcpSocket::disconnected, this, qOverload<>(&QServerSocket::dispose));
    active = true;
}

QServerSocket::~QServerSocket() = default;

void QServerSocket::getPacket()
{
    // A reply to this client is being written, or its last line is still
    // being handled: what came meanwhile is framed once that is over.
    if (!active || busy > 0)
        return;
    QByteArray bytes = socket->readAll();
    // Text ends at the first NUL byte; the rest of the chunk is dropped.
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    const QString chunk = QString::fromLatin1(bytes);
    const bool complete = chunk.endsWith(QLatin1Char('\n')) || chunk.endsWith(QLatin1Char('\r'));

    if (lineBuffer.size() + chunk.size() > MaxCommandLength) {
        // A client that never ends its line must not grow the buffer for ever.
        lineBuffer = QString();
        emit strErr(QStringLiteral("Command too long from Client %1 (over %2 bytes)\n")
                        .arg(clientId)
                        .arg(int(MaxCommandLength)));
        dispose(true);
        return;
    }
    lineBuffer.append(chunk);
    if (!complete)
        return;

    const QString text = lineBuffer;
    lineBuffer = QString();
    QPointer<QServerSocket> self(this);
    ++busy;
    emit received(text);
    // The interpreter may have closed this client, or a nested event loop
    // may even have deleted it.
    if (!self)
        return;
    --busy;

    QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (!words.isEmpty()) {
        QString &last = words.last();
        last.chop(last.endsWith(QLatin1String("\r\n")) ? 2 : 1);
        if (words.first() == QLatin1String("quit")) {
            send(QByteArrayLiteral("Bye-Bye!\r\n"));
            if (self)
                dispose(true);
            return;
        }
    }
    resumeLater();
}

void QServerSocket::hold()
{
    ++busy;
}

void QServerSocket::release()
{
    if (busy > 0)
        --busy;
    resumeLater();
}

// Input that arrived while the client was busy raised no new readyRead():
// it is framed from the event loop, not inside the call that just ended.
void QServerSocket::resumeLater()
{
    if (!active || busy > 0 || resumePosted || socket->bytesAvailable() <= 0)
        return;
    resumePosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            resumePosted = false;
            getPacket();
        },
        Qt::QueuedConnection);
}

bool QServerSocket::send(const QByteArray &data)
{
    errorText = QStringLiteral("Failed to send to Client %1\n").arg(clientId);
    QPointer<QServerSocket> self(this);
    const bool open = active && socket->state() == QAbstractSocket::ConnectedState;
    bool sent = open && socket->write(data) == data.size();
    if (!sent) {
        emit strErr(errorText);
        if (!self)
            return false;
        dispose(true);
        if (!self)
            return false;
    }
    ++busy;
    const bool written = waitWritten();
    if (!self)
        return false;
    --busy;
    if (!written) {
        sent = false;
        emit strErr(errorText);
        if (self)
            dispose(true);
        return false;
    }
    resumeLater();
    return sent;
}

// Waits up to SendTimeoutMs until every byte of the socket's buffer has gone
// to the system, whoever wrote it. Only writes: the client's next line stays
// unread meanwhile, and a client that has closed its sending side still gets
// the reply, which is out before its end of input is seen.
bool QServerSocket::waitWritten()
{
    QPointer<QServerSocket> self(this);
    const QDeadlineTimer deadline(SendTimeoutMs);
    for (;;) {
        if (!self || !active || socket->state() != QAbstractSocket::ConnectedState)
            return false;
        if (socket->bytesToWrite() == 0)
            return true;
        // Writes what the system takes now; a write error closes the socket.
        socket->flush();
        if (!self || !active || socket->state() != QAbstractSocket::ConnectedState)
            return false;
        if (socket->bytesToWrite() == 0)
            return true;
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return false;
#ifdef Q_OS_UNIX
        pollfd fd = {int(socket->socketDescriptor()), POLLOUT, 0};
        ::poll(&fd, 1, int(qMin<qint64>(left, 100)));
#else
        QThread::msleep(ulong(qMin<qint64>(left, 10)));
#endif
    }
}

void QServerSocket::dispose()
{
    dispose(true);
}

void QServerSocket::dispose(bool bEmit)
{
    if (!active)
        return;
    disconnect(socket, &QTcpSocket::readyRead, this, &QServerSocket::getPacket);
    disconnect(socket, &QTcpSocket::disconnected, this, qOverload<>(&QServerSocket::dispose));
    socket->close();
    // The closed socket goes with its client, not with the server.
    socket->deleteLater();
    active = false;
    if (bEmit)
        emit disconnected();
    deleteLater();
}
