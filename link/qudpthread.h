#ifndef QUDPTHREAD_H
#define QUDPTHREAD_H

#include "qtelvo.h"
#include "registermap.h"

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <atomic>
#include <memory>
#include <vector>

class QTableWidget;

// One queued register request.
struct UdpRequest
{
    explicit UdpRequest(bool write) : isWrite(write) {}

    bool isWrite;
    quint32 address = 0;
    quint8 length = 0;
    QByteArray data;
};

// Register and EEPROM worker. Every start runs the job chosen by `mode`.
// The register image is shared with the GUI thread: all access goes through
// the methods below, which hold imageMutex.
class QUdpThread : public QTelvo
{
    Q_OBJECT
public:
    enum UdpMode {
        ModeIdle = 0,
        ModeReadInfo = 1,
        ModePoll = 2,
        ModeFlush = 3,
        ModeWriteNetwork = 4,
        ModeSaveRom = 5
    };
    enum {
        ImageSize = Reg::ImageSize,
        PageCount = Reg::EepromPages,
        PageSize = Reg::EepromPageSize,
        PageBase = Reg::EepromBase
    };

    // No connections: the owner connects what it needs.
    explicit QUdpThread(QObject *parent = nullptr);
    // Connects the worker's signals to the owner's exec(const QString &),
    // setStatus(quint8), setTcp(quint16), udpError(const QString &) and
    // udpStopped(bool) slots, checked by the compiler.
    template <class Owner>
    explicit QUdpThread(Owner *owner)
        : QUdpThread(static_cast<QObject *>(owner))
    {
        connect(this, qOverload<QString>(&QUdpThread::received), owner, &Owner::exec);
        connect(this, qOverload<quint8>(&QUdpThread::received), owner, &Owner::setStatus);
        connect(this, &QUdpThread::setTcp, owner, &Owner::setTcp);
        connect(this, &QTelvo::error, owner, &Owner::udpError);
        connect(this, &QTelvo::closed, owner, &Owner::udpStopped);
    }
    ~QUdpThread() override;

    virtual bool updateHost(const QHostAddress &host, quint16 udpPort);

    // Register image, GUI side.
    bool setRegister(int address, quint8 value);
    void writeRegisters(int address, quint8 length);
    bool hasRegisters() const;
    int registerCount() const;
    int registerValue(int address) const;
    QByteArray registers() const;
    QByteArray eepromPage(int page) const;

    // Request queue.
    void queueWrite(quint32 address, const QByteArray &data);
    void queueRead(quint32 address, quint8 length);
    int queuedRequests() const;
    // Waits up to ms milliseconds until every queued request has been sent
    // (or dropped) by a running job; true when nothing is left to send.
    bool waitForQueue(int ms);

    void setNetwork(quint32 ip, quint16 tcpPort, quint16 udpPort);

    // Reports and the EEPROM page table.
    void registerInformation(QString *text) const;
    void fpgaVersion(QString *text) const;
    void signExtensionInformation(QString *text) const;
    void fillRegisterTable(QTableWidget *table) const;
    void fillRegisterColumn(QTableWidget *table, const QByteArray &page, int column) const;
    static QString toHex(quint8 value);
    static QString toVolt(quint16 code);

    // Job of the next run; set before start(), back to ModeIdle after every run.
    std::atomic<int> mode{ModeIdle};
    int romPage = 0;
    quint8 signBits = 0;

signals:
    void received(QByteArray *data);
    void received(QString text);
    void received(quint8 status);
    void setTcp(quint16 port);

protected:
    void run() override;
    bool readRegisters();
    void readInformation();

private:
    void readPages();
    void pollLoop();
    void flushQueue();
    void saveRom();
    void sendRequest(std::unique_ptr<UdpRequest> request);
    std::unique_ptr<UdpRequest> takeRequest();
    void requestDone();
    void clearQueue();
    bool readPage(int page);

    mutable QMutex imageMutex;
    QByteArray registerImage;
    QByteArray eepromPages[PageCount];
    QString report;
    mutable QMutex queueMutex;
    std::vector<std::unique_ptr<UdpRequest>> requestQueue;
    bool requestInFlight = false; // taken out of the queue, not yet done
    QWaitCondition queueDone;
    quint32 networkIp = 0;
    quint16 networkTcpPort = 0;
    quint16 networkUdpPort = 0;
};

#endif
