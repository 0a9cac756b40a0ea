#ifndef BOARDEMULATOR_H
#define BOARDEMULATOR_H

#include <QByteArray>
#include <QList>
#include <QObject>

#include "link/eventblock.h"
#include "link/registermap.h"

class QThread;
class EmulatorWorker;
struct EmulatorState;

// Software stand-in for the digitizer board on 127.0.0.1.
//
// The object lives in the caller's thread; its sockets live in a QThread of
// its own with its own event loop, so a caller blocked in a pause never
// starves it. Every accessor below is thread-safe.
//
// UDP register service (one datagram per request):
//   request  FF, C0 read / 80 write, id, length 1..128, address (32-bit BE),
//            then the data of a write
//   reply    the request's 8-byte header (byte 1 bit 0 = bus error), then the
//            data of a read; sent from the same socket to the sender
//   A datagram shorter than 8 bytes is ignored. A bad first byte, an unknown
//   command, a length of 0 or above 128, a write shorter than its length or
//   an access that does not lie wholly inside one area below is answered
//   with the bus-error bit and changes nothing.
//
// Address space:
//   0x00..0x2F   registers 0..47. Registers 0-3 (FPGA version) and 8-13
//                (signal monitor) ignore writes; register 7 reads as
//                written (0x07 at power-on: ADC and DRS ready) except bit 3,
//                which is "executing". Register
//                4 reads back as last written; a write of it acts on the
//                stream (see below). Everything else is plain storage.
//   0x80..0xFF   EEPROM pages 0..3 (32 bytes each at 0x80 + 32n). Reads
//                always work. A write changes the EEPROM only while register
//                5 (RomWriteRegister) holds 0x80; otherwise it is answered
//                normally and ignored, like a real EEPROM with writes closed.
//   0xFFFFFC10   EepromInfoBlock, 20 bytes (IP/TCP port at +8, UDP port at
//                +18). Writes take effect only while the write-protect byte
//                is 0x00; otherwise answered and ignored.
//   0xFFFFFCFF   write protect, 1 byte (0xFF at power-on).
//   0xFFFFFF10   control byte, 1 byte, read/write.
//   0xFFFFFF1C   TCP port served now (the real stream port), 2 bytes, read-only.
//   0xFFFFFF2C   wait-time word in ms (10 by default), 2 bytes, read-only.
//   Writes to read-only words are bus errors. Writing the EEPROM block never
//   changes the ports the emulator serves.
//
// ControlRegister (4) writes: reset bit (0x08) stops the stream and rewinds
// the event sequence; stop bit (0x10) stops it; start bit (0x20) arms it:
// with the continuous bit (0x40) a stream at the configured rate, without it
// one block; bit 0 (useT0) makes word 0 of every ChannelBlock a sample.
// Bits are handled in that order within one write. Blocks go only to a
// connected stream client; an armed board without a client waits for one.
// StatusRegister bit 3 (executing) is set while the stream is armed.
//
// TCP event stream: one client at a time (a new connection replaces the old
// one); anything the client sends is discarded. EventBlocks of 32772 bytes:
// 55 55 AA AA, then 16 ChannelBlocks of 1024 big-endian signed words. Word 0
// is the startCell unless useT0; sample word k lies in DRS4 cell
// (startCell + k - 1) % 1024 and carries that cell's fixed offset, noise
// and, near the trigger point, pulses. The trigger channel (register 16
// bit 4, channel in bits 0-3) always has a pulse of the configured edge
// (bit 5 = falling) that crosses the threshold (registers 18-19) as far as
// the 16-bit range allows. The sequence of blocks is fixed by the seed and
// the trigger/sampling settings. With rate 0 blocks go out as fast as the
// reader drains them (at most two blocks queued in the socket).
//
// Faults (setFault; several may be active at once; clearFaults or
// setFault(NoFault) ends all). "count" = number of replies affected, after
// which the fault ends by itself; 0 = every reply until cleared.
//   DropReplies     param count: the request is carried out, its reply is not sent.
//   DelayReplies    param ms: every reply is sent that many ms late.
//   StaleId         param count: the reply carries the id before the request's
//                   ((id - 1) & 0x7F) instead of its own.
//   ForeignId       param count: the reply carries id | 0x80 (never matches).
//   ShortReply      param count: the reply is cut to its first 7 bytes.
//   ShortData       param count: a read reply carries only length / 2 data
//                   bytes (so a 1-byte read gets a bare 8-byte header).
//   BusError        param count: the request is refused with the bus-error bit
//                   and changes nothing.
//   BadHeader       param k: block k of every stream connection (0 = first
//                   block after the connection) is sent with the header
//                   00 00 00 00; the stream goes on.
//   CloseMidBlock   param k: block k of every stream connection is sent only
//                   up to its middle (16386 bytes), then the connection is
//                   closed (after those bytes have been flushed).
//   SmallPieces     param bytes (0 = 512): blocks are written in pieces of
//                   that size, one piece per millisecond, with Nagle off.
//   RefuseStream    param 0: the stream port stops listening (connections are
//                   refused) until the fault is cleared, then listens again on
//                   the same port. param 1: connections are accepted and
//                   closed at once. An existing connection is left alone.
//   StaleThenReply  param count: before the real reply, a copy with the stale
//                   id ((id - 1) & 0x7F) is sent.
//   LongData        param count: a read reply carries 4 extra data bytes.
//   HoldTrigger     param 0: the trigger does not come: an armed board sends
//                   no block and stays armed (executing) until the fault is
//                   cleared.
// BoardEmulator::Options (declared outside the class so that it can be a
// default argument of the constructor).
struct BoardEmulatorOptions {
    quint16 udpPort = 0;       // 0 = chosen by the OS
    quint16 tcpPort = 0;       // 0 = chosen by the OS
    int rate = 0;              // events/s in continuous mode, 0 = as fast as the reader takes them
    quint32 seed = 1;
    bool recordBlocks = true;  // keep copies of sent blocks in the log
};

class BoardEmulator : public QObject
{
    Q_OBJECT
public:
    using Options = BoardEmulatorOptions;

    // One logged request. msecs counts from start().
    struct Request {
        qint64 msecs = 0;
        bool write = false;
        quint8 id = 0;
        quint8 length = 0;
        quint32 address = 0;
        QByteArray data;           // write data, or the data replied for a read
        bool busError = false;     // answered with the bus-error bit
    };

    enum Fault {
        NoFault,
        DropReplies,
        DelayReplies,
        StaleId,
        ForeignId,
        ShortReply,     // < 8 bytes
        ShortData,      // fewer data bytes than asked
        BusError,
        BadHeader,      // on block param
        CloseMidBlock,  // on block param
        SmallPieces,
        RefuseStream,
        StaleThenReply,
        LongData,
        HoldTrigger
    };

    static constexpr int RegisterCount = Reg::ImageSize;
    static constexpr int EepromPageSize = Reg::EepromPageSize;
    static constexpr int EepromPages = Reg::EepromPages;
    static constexpr int InfoBlockSize = 20;
    static constexpr int BlockSize = Event::BlockSize;
    static constexpr int Channels = Event::Channels;
    static constexpr int Cells = Event::Cells;

    explicit BoardEmulator(const Options &opts = Options(), QObject *parent = nullptr);
    ~BoardEmulator() override; // stops the thread

    // Binds 127.0.0.1 (UDP and TCP) and starts the thread; blocks until bound.
    // False when a port cannot be bound (nothing keeps running then).
    bool start();
    void stop();
    bool isRunning() const;
    quint16 udpPort() const;
    quint16 tcpPort() const;

    // Request log.
    QList<Request> requests() const;
    void clearRequests();
    // Block log: copies of the blocks sent (only with recordBlocks), as they
    // went out (a BadHeader block with its bad header), and the count of
    // blocks sent (always). A block counts when it begins to go out, so a
    // block cut off by CloseMidBlock is in both. blockSent carries the
    // 0-based index in that count.
    QList<QByteArray> sentBlocks() const;
    qint64 blocksSent() const;
    void clearBlocks(); // empties the copies; the count keeps running

    // Board state. setRegister sets the byte alone, with no action on the stream.
    QByteArray registers() const;
    quint8 reg(int i) const;
    void setRegister(int i, quint8 v);
    QByteArray eepromPage(int n) const;
    void setEepromPage(int n, const QByteArray &page32);
    QByteArray infoBlock() const;
    void setInfoBlock(const QByteArray &block20);
    quint8 writeProtect() const;
    void setWaitTime(quint16 ms);
    quint16 waitTime() const;
    void setRate(int eventsPerSecond);
    bool executing() const;       // stream armed (StatusRegister bit 3)
    bool continuousMode() const;  // armed in continuous mode
    bool useT0() const;           // word 0 is a sample

    // Faults, switchable at run time from any thread.
    void setFault(Fault f, int param = 0);
    void clearFault(Fault f);
    void clearFaults();
    bool faultActive(Fault f) const;

    bool streamConnected() const;

    // The block the emulator would send as event number index (0-based since
    // the last reset) with the current settings; for comparisons in tests.
    QByteArray expectedBlock(qint64 index) const;

signals:
    void requestLogged();
    void blockSent(qint64 index);

private:
    friend class EmulatorWorker;
    void notifyRequest();
    void notifyBlock(qint64 index);
    void applyListening();

    Options options;
    EmulatorState *state;
    QThread *thread = nullptr;
    EmulatorWorker *worker = nullptr;

public:
    // Signal monitor (registers 8-13): fixed at these values until
    // clearMonitor(); otherwise it follows the trigger channel's signal.
    void setMonitor(qint16 minimum, qint16 average, qint16 maximum);
    void clearMonitor();

    // Quiet mode: noise and pulses off, so every sample word equals the
    // fixed offset of its cell (start cells still vary between events).
    // Takes effect from the next block.
    void setQuiet(bool on);
    bool quiet() const;
    // The fixed offset of a cell (0..1023) of a channel (0..15).
    qint16 cellOffset(int channel, int cell) const;

    // Closes the register service's UDP port (requests then meet "port
    // unreachable", as with a board switched off) or opens it again on the
    // same port. Blocks until done; true when the port is in that state.
    bool setRegisterPortOpen(bool open);
};

#endif
