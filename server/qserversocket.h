#ifndef QSERVERSOCKET_H
#define QSERVERSOCKET_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

class QTcpSocket;

// One client of the command server: frames the byte stream into command
// texts, hands them to the window one at a time, sends replies and says
// goodbye to "quit".
class QServerSocket : public QObject
{
    Q_OBJECT
public:
    // Most text a client may have sent that is not handled yet: its
    // unfinished line (the line end aside) and the lines waiting behind a
    // command. A client that sends more is logged and closed.
    enum { MaxCommandLength = 65536 };
    // How long one reply may take to be written.
    enum { SendTimeoutMs = 3000 };
    // Qt's own read buffer: beyond it, input waits in the system. A read
    // that fills it holds more than a command may, so the bound never splits
    // a line that is let through (nor its CR from its LF).
    enum { ReadBufferSize = MaxCommandLength + 4 };

    QServerSocket(quint64 id, QTcpSocket *socket, QObject *parent = nullptr);
    ~QServerSocket() override;

    // Writes one reply and waits until it is out; false when it was not
    // (the client is closed then).
    bool send(const QByteArray &data);
    quint64 id() const { return clientId; }
    bool isActive() const { return active; }
    // While held, the next command text is not handed out (a command that
    // waits, or whose reply is still to come, holds back the lines after it,
    // "quit" too); input is still read and framed meanwhile.
    void hold();
    void release();

    friend struct QServerSocketAccess; // tests look at the buffered text

signals:
    void disconnected();
    void received(QString str);
    void strErr(const QString &str);

public slots:
    void getPacket();
    void dispose(bool bEmit);
    void dispose();

private:
    bool frame(QByteArray bytes);
    void takeArrived();
    void handOut();
    void handOutLater();
    void dropTexts();
    void end(bool bEmit, bool keepTexts);
    bool waitWritten();

    QTcpSocket *socket = nullptr;
    quint64 clientId = 0;
    QString lineBuffer;
    QString errorText;
    bool active = false;
    // Complete command texts not handed out yet, oldest first. A client that
    // has gone keeps this object until they have been handled.
    QStringList pending;
    qsizetype pendingChars = 0;
    // Above 0: do not hand out the next text yet (one is being handled, or
    // the window holds this client).
    int busy = 0;
    bool handOutPosted = false;
    bool sending = false; // inside the wait for a reply to be written
};

#endif
