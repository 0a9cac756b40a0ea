#ifndef EMULATORWORKER_H
#define EMULATORWORKER_H

#include "boardemulator.h"
#include "waveformgenerator.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QMutex>
#include <QObject>
#include <atomic>

class QTcpServer;
class QTcpSocket;
class QTimer;
class QUdpSocket;

// Board state shared by the caller's thread and the emulator's thread.
// Everything but the atomics is guarded by mutex.
struct EmulatorState {
    explicit EmulatorState(const BoardEmulator::Options &opts);

    struct FaultSetting {
        bool active = false;
        int param = 0;
        int remaining = -1; // replies left for counted faults; -1 = unlimited
    };
    static constexpr int FaultCount = BoardEmulator::HoldTrigger + 1;

    // Takes one use of a counted reply fault; true when it applies.
    bool takeFault(BoardEmulator::Fault f);
    WaveConfig waveConfig() const;
    quint8 statusByte() const;
    void refreshMonitor();

    mutable QMutex mutex;
    QByteArray regs;
    QByteArray eeprom;   // 4 pages of 32 bytes
    QByteArray info;     // EepromInfoBlock
    quint8 protect = 0xFF;
    quint8 control = 0x00;
    quint16 waitTime = 10;
    quint16 servedTcpPort = 0;
    quint16 boundUdpPort = 0;
    int rate = 0;
    bool recordBlocks = true;

    bool armed = false;
    bool continuous = false;
    bool useT0 = false;
    qint64 eventIndex = 0; // events since the last reset

    FaultSetting faults[FaultCount];

    QList<BoardEmulator::Request> requests;
    QList<QByteArray> blocks;
    QElapsedTimer clock;

    WaveformGenerator generator;
    Rng monitorRng;

    std::atomic<qint64> blocksSent {0};
    std::atomic<bool> connected {false};
    std::atomic<bool> running {false};

    // Monitor values fixed by a test (minimum, average, maximum).
    void applyFixedMonitor();
    bool monitorFixed = false;
    qint16 fixedMonitor[3] = {0, 0, 0};
};

// Lives in the emulator's thread and owns its sockets.
class EmulatorWorker : public QObject
{
    Q_OBJECT
public:
    EmulatorWorker(BoardEmulator *owner, EmulatorState *state);
    ~EmulatorWorker() override;

public slots:
    bool setup(quint16 udpPort, quint16 tcpPort);
    void shutdown();
    void updateListening();
    void pump();

private slots:
    void readDatagrams();
    void acceptConnection();
    void clientGone();

private:
    void handleDatagram(const QByteArray &dg, const QHostAddress &from, quint16 port);
    bool process(bool write, quint32 address, int length, const QByteArray &data, QByteArray &readData);
    void controlWritten(quint8 value);
    void sendReply(const QByteArray &reply, const QHostAddress &to, quint16 port, int delayMs);
    void dropClient();
    bool continuePartial();

    BoardEmulator *owner;
    EmulatorState *st;
    QUdpSocket *udp = nullptr;
    QTcpServer *server = nullptr;
    QTcpSocket *client = nullptr;
    QTimer *rateTimer = nullptr;
    QTimer *pieceTimer = nullptr;
    quint16 listenPort = 0;

    // Block in progress when it goes out in pieces or is cut off.
    QByteArray partial;
    int partialOffset = 0;
    int partialLimit = 0;
    int pieceSize = 0;
    bool closeAfterPartial = false;

    qint64 connectionBlocks = 0; // blocks begun on the current connection
    // Rate pacing of a continuous run.
    QElapsedTimer runClock;
    qint64 runBlocks = 0;
    bool runPaced = false;
    int pacedRate = 0;

public:
    bool setRegisterPortOpen(bool open);
};

#endif
