#ifndef QTCPTHREAD_H
#define QTCPTHREAD_H

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>
#include <atomic>

class QTcpSocket;

// Reads the board's event stream: connects to the stream port, fills one
// event block at a time and hands it over with received(). The next block is
// read only after the consumer has copied the buffer and called rearm().
class QTcpThread : public QThread
{
    Q_OBJECT
public:
    enum {
        HeaderSize = 4,
        BlockSize = 32772
    };

    // Connects sockConnected(), disconnected(), err(QString) and
    // received(QByteArray*) to the parent's connected(), connectionClosed(),
    // error(QString) and updateData(QByteArray*) slots when it has them.
    QTcpThread(const QString &host, quint16 port, QObject *parent = nullptr);
    // Stops the stream and waits for run() to return.
    ~QTcpThread() override;

    // Ends the stream and waits until run() has returned.
    void stop();
    // Ends the stream without waiting; disconnected() follows.
    void abort();
    // Called by the consumer once it has copied the block handed over by
    // received(): the thread may overwrite its buffer again.
    void rearm();

    bool isArmed() const { return bufferArmed.load(std::memory_order_acquire); }
    bool isAborted() const { return abortFlag.load(std::memory_order_acquire); }
    QString hostName() const { return host; }
    quint16 streamPort() const { return port; }

signals:
    void received(QByteArray *buf);
    void sockConnected();
    void disconnected();
    void err(QString text);

public slots:
    // Runs in the reader thread, connected directly to the socket.
    void connectionClosedByServer();

protected:
    void run() override;

private:
    bool connectPhase();
    void readPhase();
    void setSocketError();
    bool waitArmed();

    QString errorText;
    QString host;
    quint16 port;
    QTcpSocket *socket = nullptr;
    QByteArray buffer;
    std::atomic<bool> abortFlag{false};
    std::atomic<bool> bufferArmed{false};
    QMutex armMutex;
    QWaitCondition armed;
};

#endif
