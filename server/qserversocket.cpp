#include "qserversocket.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <QTcpSocket>
#include <QThread>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#endif

namespace {

// "quit" as the first word, whatever follows it.
bool isQuit(const QString &text)
{
    QStringList words = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return false;
    QString &last = words.last();
    last.chop(last.endsWith(QLatin1String("\r\n")) ? 2 : 1);
    return words.first() == QLatin1String("quit");
}

} // namespace

QServerSocket::QServerSocket(quint64 id, QTcpSocket *socket, QObject *parent)
    : QObject(parent), socket(socket), clientId(id), lineBuffer(QLatin1String(""))
{
    // Whatever a client sends, what is held for it stays bounded: here, and
    // in the texts framed below.
    socket->setReadBufferSize(ReadBufferSize);
    connect(socket, &QTcpSocket::readyRead, this, &QServerSocket::getPacket);
    connect(socket, &QTcpSocket::disconnected, this, qOverload<>(&QServerSocket::dispose));
    active = true;
}

QServerSocket::~QServerSocket() = default;

// Every chunk is framed as it arrives, also while the client is held; the
// texts are then handed out one at a time.
void QServerSocket::getPacket()
{
    if (active && !frame(socket->readAll()))
        return;
    handOut();
}

// Takes one chunk: text up to its first NUL byte, appended to the unfinished
// line; a chunk that ends with CR or LF completes a command text. False when
// the client has sent more than it may (it is closed then).
bool QServerSocket::frame(QByteArray bytes)
{
    if (bytes.isEmpty())
        return true;
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    const QString chunk = QString::fromLatin1(bytes);
    const bool complete = chunk.endsWith(QLatin1Char('\n')) || chunk.endsWith(QLatin1Char('\r'));

    qsizetype held = pendingChars + lineBuffer.size() + chunk.size();
    if (complete)
        held -= chunk.endsWith(QLatin1String("\r\n")) ? 2 : 1;
    if (held > MaxCommandLength) {
        lineBuffer = QString();
        emit strErr(QStringLiteral("Command too long from Client %1 (over %2 bytes)\n")
                        .arg(clientId)
                        .arg(int(MaxCommandLength)));
        end(true, false);
        return false;
    }
    lineBuffer.append(chunk);
    if (complete) {
        pendingChars += lineBuffer.size();
        pending.append(lineBuffer);
        lineBuffer = QString();
    }
    return true;
}

// Hands the oldest text to the window, unless the client is busy; the next
// one follows from the event loop.
void QServerSocket::handOut()
{
    if (busy > 0 || pending.isEmpty()) {
        handOutLater();
        return;
    }
    const QString text = pending.takeFirst();
    pendingChars -= text.size();
    QPointer<QServerSocket> self(this);
    ++busy;
    emit received(text);
    // A nested event loop inside the interpreter may even have deleted it.
    if (!self)
        return;
    --busy;
    if (isQuit(text)) {
        // Nothing after "quit" is handled.
        dropTexts();
        if (active)
            send(QByteArrayLiteral("Bye-Bye!\r\n"));
        if (self)
            end(true, false);
        return;
    }
    handOutLater();
}

// Input that raised no readyRead() of its own (it came while a text was
// being handled) and texts still to hand out go on from the event loop, never
// inside the call that just ended. A client that has gone and has nothing
// left goes too.
void QServerSocket::handOutLater()
{
    const bool input = active && socket->bytesAvailable() > 0;
    if (!input && (busy > 0 || pending.isEmpty())) {
        if (!active && pending.isEmpty())
            deleteLater();
        return;
    }
    if (handOutPosted)
        return;
    handOutPosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            handOutPosted = false;
            getPacket();
        },
        Qt::QueuedConnection);
}

void QServerSocket::hold()
{
    ++busy;
}

void QServerSocket::release()
{
    if (busy > 0)
        --busy;
    handOutLater();
}

void QServerSocket::dropTexts()
{
    pending.clear();
    pendingChars = 0;
}

// Lines the system has received from the client came before this reply:
// they are framed now (and handed out later, in order), since a write that
// meets a connection the client has reset would discard them unread.
void QServerSocket::takeArrived()
{
#ifdef Q_OS_UNIX
    const int fd = int(socket->socketDescriptor());
    int waiting = 0;
    if (!active || fd < 0 || ::ioctl(fd, FIONREAD, &waiting) != 0 || waiting <= 0)
        return;
    // Qt's buffer holds what came before (it is empty but inside a readyRead).
    QByteArray bytes = socket->readAll();
    const qsizetype before = bytes.size();
    bytes.resize(before + qMin<qsizetype>(waiting, ReadBufferSize));
    const ssize_t got = ::recv(fd, bytes.data() + before, size_t(bytes.size() - before), MSG_DONTWAIT);
    bytes.resize(before + qMax<qsizetype>(got, 0));
    if (frame(bytes))
        handOutLater();
#endif
}

bool QServerSocket::send(const QByteArray &data)
{
    errorText = QStringLiteral("Failed to send to Client %1\n").arg(clientId);
    QPointer<QServerSocket> self(this);
    takeArrived();
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
    sending = true;
    const bool written = waitWritten();
    if (!self)
        return false;
    sending = false;
    if (!written) {
        sent = false;
        emit strErr(errorText);
        if (self)
            dispose(true);
    }
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


// The socket's end. One that a write meets (Qt closes the socket at once)
// is that send's failure: the send says so, then disposes.
void QServerSocket::dispose()
{
    if (!sending)
        dispose(true);
}

// A client that has gone by itself (closed, or a send failed) keeps the
// lines it sent before; a server stop drops them.
void QServerSocket::dispose(bool bEmit)
{
    end(bEmit, bEmit);
}

// Ends the connection. Texts kept are still handed out (their replies go
// nowhere), and the object goes once they have been.
void QServerSocket::end(bool bEmit, bool keepTexts)
{
    if (!keepTexts)
        dropTexts();
    if (!active) {
        handOutLater();
        return;
    }
    // Input Qt still holds came before the end.
    if (keepTexts && socket->bytesAvailable() > 0 && !frame(socket->readAll()))
        return;
    disconnect(socket, &QTcpSocket::readyRead, this, &QServerSocket::getPacket);
    disconnect(socket, &QTcpSocket::disconnected, this, qOverload<>(&QServerSocket::dispose));
    socket->close();
    // The closed socket goes with its client, not with the server.
    socket->deleteLater();
    active = false;
    QPointer<QServerSocket> self(this);
    if (bEmit)
        emit disconnected();
    if (self)
        handOutLater();
}
