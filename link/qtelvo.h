#ifndef QTELVO_H
#define QTELVO_H

#include <QByteArray>
#include <QHostAddress>
#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>
#include <atomic>
#include <functional>

class QUdpSocket;

// Client of the board's UDP register-access protocol. Does no work in a
// thread of its own: the register worker derives from it and calls these
// operations from its run loop.
class QTelvo : public QThread
{
    Q_OBJECT
public:
    struct ErrSts {
        int code;
    };
    enum {
        ErrAborted = 0,
        ErrWrite = -1,
        ErrRead = -2,
        ErrSocket = -3,
        ErrBus = -4,
        ErrTimeout = -5
    };

    explicit QTelvo(QObject *parent = nullptr);
    ~QTelvo() override;

signals:
    void closed(bool ok);
    void error(QString estr);

public slots:
    virtual void setHost(const QHostAddress &host, quint16 udpPort, quint16 tcpPort);
    virtual void abort();
    virtual void stop();
    virtual void notifyClosed();
    virtual void setTimeout(int seconds);
    virtual void setRetry(int retries);
    virtual quint16 tcpPort();
    virtual quint16 waitTime();
    virtual int readByte(quint32 address, quint8 *value);
    virtual int read(quint32 address, uchar *data, uint length);
    virtual int readExact(quint32 address, uchar *data, uint length);
    virtual bool readWord(quint32 address, quint16 *value);
    virtual int writeByte(quint32 address, quint8 value);
    virtual int write(quint32 address, const uchar *data, uint length);
    virtual int writeExact(quint32 address, const uchar *data, uint length);
    virtual void writeNetworkSettings(quint32 ip, quint16 udpPort, quint16 tcpPort);
    virtual bool cancelWriteProtect(bool cancel);
    virtual bool setControlBit7();
    virtual bool eepromInformation(QString *out);
    virtual bool readEepromInformation();
    virtual bool readTcpPort(quint16 *value);
    virtual bool readWaitTime(quint16 *value);
    virtual void appendErrorText(int code);
    virtual qint8 buildReadPacket(quint32 address, quint8 length);
    virtual int readChunk(quint32 address, uchar *data, quint8 length);
    virtual qint8 buildWritePacket(quint32 address, const uchar *data, quint8 length);
    virtual int writeChunk(quint32 address, const uchar *data, quint8 length);
    virtual bool openSocket();
    virtual int transact(qint8 id);
    virtual qint8 nextId();

protected:
    void pause(int ms);
    void undoAfterFailure(const std::function<void()> &step);
    int transactChunk(qint8 id, const char *kind, quint32 address, quint8 length);

    qint8 packetId = 0;
    quint16 udpPort = 0;
    // Written by the worker, read by the GUI thread.
    std::atomic<quint16> boardTcpPort{0};
    std::atomic<quint16> boardWaitTime{0};
    QHostAddress host;
    QUdpSocket *socket = nullptr;
    QString errorText;
    QString socketErrorText; // cause of the last ErrSocket when the socket's own text lacks it
    std::atomic<bool> abortFlag{false};
    std::atomic<bool> closedFlag{false};
    int chunkSize = 128;
    int waitCount = 40;
    int tries = 3;
    QByteArray packet;
    QByteArray eepromInfo;
    QMutex pauseMutex;
    QWaitCondition pauseWake;
};

#endif
