#ifndef QSERVERSOCKET_H
#define QSERVERSOCKET_H

#include <QByteArray>
#include <QObject>
#include <QString>

class QTcpSocket;

// One client of the command server: frames the byte stream into command
// texts, sends replies and says goodbye to "quit".
class QServerSocket : public QObject
{
    Q_OBJECT
public:
    // Longest command text kept while waiting for its line end; a client
    // that sends more is logged and closed.
    enum { MaxCommandLength = 65536 };
    // How long one reply may take to be written.
    enum { SendTimeoutMs = 3000 };

    QServerSocket(quint64 id, QTcpSocket *socket, QObject *parent = nullptr);
    ~QServerSocket() override;

    // Writes one reply and waits until it is out; false when it was not
    // (the client is closed then).
    bool send(const QByteArray &data);
    quint64 id() const { return clientId; }
    bool isActive() const { return active; }
    // While held, nothing more is read: a line the window has to keep waiting
    // holds back this client's lines after it, "quit" too.
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
    bool waitWritten();
    void resumeLater();

    // Inside the interpreter or a send: input waits in the socket, so a
    // client's lines are handled one at a time and in order.
    int busy = 0;
    bool resumePosted = false;

    QTcpSocket *socket = nullptr;
    quint64 clientId = 0;
    QString lineBuffer;
    QString errorText;
    bool active = false;
};

#endif
