#include "qserversocket.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <QStringList>
#include <QTcpSocket>

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
    if (!active)
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
    emit received(text);
    // The interpreter may have closed this client, or a nested event loop
    // may even have deleted it.
    if (!self)
        return;

    QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return;
    QString &last = words.last();
    last.chop(last.endsWith(QLatin1String("\r\n")) ? 2 : 1);
    if (words.first() == QLatin1String("quit")) {
        send(QByteArrayLiteral("Bye-Bye!\r\n"));
        if (self)
            dispose(true);
    }
}

void QServerSocket::send(const QByteArray &data)
{
    errorText = QStringLiteral("Failed to send to Client %1\n").arg(clientId);
    QPointer<QServerSocket> self(this);
    const bool open = active && socket->state() == QAbstractSocket::ConnectedState;
    if (!open || socket->write(data) != data.size()) {
        emit strErr(errorText);
        if (!self)
            return;
        dispose(true);
        if (!self)
            return;
    }
    if (!waitWritten()) {
        if (!self)
            return;
        emit strErr(errorText);
        if (self)
            dispose(true);
    }
}

// Waits up to SendTimeoutMs for every byte of the socket's buffer to go out.
bool QServerSocket::waitWritten()
{
    QPointer<QServerSocket> self(this);
    const QDeadlineTimer deadline(SendTimeoutMs);
    while (self && active && socket->state() == QAbstractSocket::ConnectedState) {
        if (socket->bytesToWrite() == 0)
            return true;
        if (!socket->waitForBytesWritten(int(deadline.remainingTime())))
            return false;
    }
    return false;
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
