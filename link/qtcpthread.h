#ifndef QTCPTHREAD_H
#define QTCPTHREAD_H

#include "eventblock.h"

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
        HeaderSize = Event::HeaderSize,
        BlockSize = Event::BlockSize
    };

    // No connections: the owner connects what it needs.
    QTcpThread(const QString &host, quint16 port, QObject *parent = nullptr);
    // Connects sockConnected(), disconnected(), err(QString) and
    // received(QByteArray*) to the owner's connected(), connectionClosed(),
    // error(QString) and updateData(QByteArray*) slots, checked by the compiler.
    template <class Owner>
    QTcpThread(const QString &host, quint16 port, Owner *owner)
        : QTcpThread(host, port, static_cast<QObject *>(owner))
    {
        connect(this, &QTcpThread::sockConnected, owner, &Owner::connected);
        connect(this, &QTcpThread::disconnected, owner, &Owner::connectionClosed);
        connect(this, &QTcpThread::err, owner, &Owner::error);
        connect(this, &QTcpThread::received, owner, &Owner::updateData);
    }
    // Stops the stream and waits for run() to return.
    ~QTcpThread() override;

    // Ends the stream and waits until run() has returned.
    void stop();
    // Ends the stream without waiting; disconnected() follows.
    void abort();
    // Ends the stream once the board has stopped sending: every block still
    // on its way is read and handed over, until no data has come for one
    // read wait (or DrainLimitMs have passed); disconnected() follows.
    void drain();
    // Called by the consumer once it has taken the block handed over by
    // received() (copied it, or swapped another array of any size into the
    // buffer): the thread may write into its buffer again.
    void rearm();

    bool isArmed() const { return bufferArmed.load(std::memory_order_acquire); }
    bool isAborted() const { return abortFlag.load(std::memory_order_acquire); }
    bool isDraining() const { return drainFlag.load(std::memory_order_acquire); }
    // True from a hand-over until rearm().
    bool hasBlock() const { return blockReady.load(std::memory_order_acquire); }
    // The buffer handed over by received(); the block in it is the consumer's
    // until rearm().
    QByteArray *blockBuffer() { return &buffer; }
    // Waits up to ms milliseconds for a block to be handed over; true when
    // one is waiting for the consumer.
    bool waitForBlock(int ms);

    // Longest time a drain may take once asked for.
    static constexpr int DrainLimitMs = 10000;
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
    void handOver();

    QString errorText;
    QString host;
    quint16 port;
    QTcpSocket *socket = nullptr;
    QByteArray buffer;
    std::atomic<bool> abortFlag{false};
    std::atomic<bool> bufferArmed{false};
    std::atomic<bool> blockReady{false};
    std::atomic<bool> drainFlag{false};
    std::atomic<qint64> drainDeadline{0}; // ms since the epoch
    // A side that sleeps announces it, so the other wakes it only then.
    std::atomic<bool> readerSleeping{false};
    std::atomic<bool> consumerSleeping{false};
    QMutex armMutex;
    QWaitCondition armed;
    QWaitCondition handed;
};

#endif
