#include "boardemulator.h"
#include "emulatorworker.h"

#include <QMetaMethod>
#include <QThread>

BoardEmulator::BoardEmulator(const Options &opts, QObject *parent)
    : QObject(parent)
    , options(opts)
    , state(new EmulatorState(opts))
{
}

BoardEmulator::~BoardEmulator()
{
    stop();
    delete state;
}

bool BoardEmulator::start()
{
    if (thread)
        return true;
    state->clock.start();
    thread = new QThread;
    thread->setObjectName(QStringLiteral("board emulator"));
    worker = new EmulatorWorker(this, state);
    worker->moveToThread(thread);
    thread->start();
    bool ok = false;
    EmulatorWorker *w = worker;
    QMetaObject::invokeMethod(
        worker, [w, &ok, this] { ok = w->setup(options.udpPort, options.tcpPort); }, Qt::BlockingQueuedConnection);
    if (!ok) {
        stop();
        return false;
    }
    state->running = true;
    return true;
}

void BoardEmulator::stop()
{
    if (!thread)
        return;
    EmulatorWorker *w = worker;
    QThread *home = QThread::currentThread();
    // Sockets go in their own thread; the bare worker comes back to be deleted here.
    QMetaObject::invokeMethod(
        worker, [w, home] {
            w->shutdown();
            w->moveToThread(home);
        },
        Qt::BlockingQueuedConnection);
    thread->quit();
    thread->wait();
    delete worker;
    worker = nullptr;
    delete thread;
    thread = nullptr;
    state->running = false;
    state->connected = false;
    QMutexLocker lock(&state->mutex);
    state->armed = false;
    state->servedTcpPort = 0;
    state->boundUdpPort = 0;
}

bool BoardEmulator::isRunning() const
{
    return state->running;
}

quint16 BoardEmulator::udpPort() const
{
    QMutexLocker lock(&state->mutex);
    return state->boundUdpPort;
}

quint16 BoardEmulator::tcpPort() const
{
    QMutexLocker lock(&state->mutex);
    return state->servedTcpPort;
}

QList<BoardEmulator::Request> BoardEmulator::requests() const
{
    QMutexLocker lock(&state->mutex);
    return state->requests;
}

void BoardEmulator::clearRequests()
{
    QMutexLocker lock(&state->mutex);
    state->requests.clear();
}

QList<QByteArray> BoardEmulator::sentBlocks() const
{
    QMutexLocker lock(&state->mutex);
    return state->blocks;
}

qint64 BoardEmulator::blocksSent() const
{
    return state->blocksSent;
}

void BoardEmulator::clearBlocks()
{
    QMutexLocker lock(&state->mutex);
    state->blocks.clear();
}

QByteArray BoardEmulator::registers() const
{
    QMutexLocker lock(&state->mutex);
    QByteArray r = state->regs;
    r[Reg::Status] = char(state->statusByte());
    return r;
}

quint8 BoardEmulator::reg(int i) const
{
    if (i < 0 || i >= RegisterCount)
        return 0;
    QMutexLocker lock(&state->mutex);
    return i == Reg::Status ? state->statusByte() : quint8(state->regs[i]);
}

void BoardEmulator::setRegister(int i, quint8 v)
{
    if (i < 0 || i >= RegisterCount)
        return;
    QMutexLocker lock(&state->mutex);
    state->regs[i] = char(v);
}

QByteArray BoardEmulator::eepromPage(int n) const
{
    if (n < 0 || n >= EepromPages)
        return QByteArray();
    QMutexLocker lock(&state->mutex);
    return state->eeprom.mid(n * EepromPageSize, EepromPageSize);
}

void BoardEmulator::setEepromPage(int n, const QByteArray &page32)
{
    if (n < 0 || n >= EepromPages)
        return;
    QByteArray page = page32.left(EepromPageSize);
    page.append(EepromPageSize - page.size(), '\0');
    QMutexLocker lock(&state->mutex);
    state->eeprom.replace(n * EepromPageSize, EepromPageSize, page);
}

QByteArray BoardEmulator::infoBlock() const
{
    QMutexLocker lock(&state->mutex);
    return state->info;
}

void BoardEmulator::setInfoBlock(const QByteArray &block20)
{
    QByteArray block = block20.left(InfoBlockSize);
    block.append(InfoBlockSize - block.size(), '\0');
    QMutexLocker lock(&state->mutex);
    state->info = block;
}

quint8 BoardEmulator::writeProtect() const
{
    QMutexLocker lock(&state->mutex);
    return state->protect;
}

void BoardEmulator::setWaitTime(quint16 ms)
{
    QMutexLocker lock(&state->mutex);
    state->waitTime = ms;
}

quint16 BoardEmulator::waitTime() const
{
    QMutexLocker lock(&state->mutex);
    return state->waitTime;
}

void BoardEmulator::setRate(int eventsPerSecond)
{
    {
        QMutexLocker lock(&state->mutex);
        state->rate = qMax(0, eventsPerSecond);
    }
    if (worker)
        QMetaObject::invokeMethod(worker, &EmulatorWorker::pump, Qt::QueuedConnection);
}

bool BoardEmulator::executing() const
{
    QMutexLocker lock(&state->mutex);
    return state->armed;
}

bool BoardEmulator::continuousMode() const
{
    QMutexLocker lock(&state->mutex);
    return state->armed && state->continuous;
}

bool BoardEmulator::useT0() const
{
    QMutexLocker lock(&state->mutex);
    return state->useT0;
}

void BoardEmulator::setFault(Fault f, int param)
{
    if (f == NoFault) {
        clearFaults();
        return;
    }
    if (f < 0 || f >= EmulatorState::FaultCount)
        return;
    {
        QMutexLocker lock(&state->mutex);
        EmulatorState::FaultSetting &s = state->faults[f];
        s.active = true;
        s.param = param;
        s.remaining = param > 0 ? param : -1;
    }
    if (f == RefuseStream)
        applyListening();
    if (worker)
        QMetaObject::invokeMethod(worker, &EmulatorWorker::pump, Qt::QueuedConnection);
}

void BoardEmulator::clearFault(Fault f)
{
    if (f <= NoFault || f >= EmulatorState::FaultCount)
        return;
    {
        QMutexLocker lock(&state->mutex);
        state->faults[f] = EmulatorState::FaultSetting();
    }
    if (f == RefuseStream)
        applyListening();
    // A held trigger comes now.
    if (f == HoldTrigger && worker)
        QMetaObject::invokeMethod(worker, &EmulatorWorker::pump, Qt::QueuedConnection);
}

void BoardEmulator::clearFaults()
{
    bool held = false;
    {
        QMutexLocker lock(&state->mutex);
        held = state->faults[HoldTrigger].active;
        for (EmulatorState::FaultSetting &s : state->faults)
            s = EmulatorState::FaultSetting();
    }
    applyListening();
    if (held && worker) // the held trigger comes now
        QMetaObject::invokeMethod(worker, &EmulatorWorker::pump, Qt::QueuedConnection);
}

bool BoardEmulator::faultActive(Fault f) const
{
    if (f <= NoFault || f >= EmulatorState::FaultCount)
        return false;
    QMutexLocker lock(&state->mutex);
    return state->faults[f].active;
}

bool BoardEmulator::streamConnected() const
{
    return state->connected;
}

QByteArray BoardEmulator::expectedBlock(qint64 index) const
{
    QMutexLocker lock(&state->mutex);
    return state->generator.block(index, state->waveConfig());
}

void BoardEmulator::applyListening()
{
    if (!worker)
        return;
    // Done when this returns, so a test may connect (or fail to) right after.
    const auto type = QThread::currentThread() == thread ? Qt::DirectConnection : Qt::BlockingQueuedConnection;
    QMetaObject::invokeMethod(worker, &EmulatorWorker::updateListening, type);
}

void BoardEmulator::notifyRequest()
{
    static const QMetaMethod signal = QMetaMethod::fromSignal(&BoardEmulator::requestLogged);
    if (isSignalConnected(signal))
        QMetaObject::invokeMethod(this, [this] { emit requestLogged(); }, Qt::QueuedConnection);
}

void BoardEmulator::notifyBlock(qint64 index)
{
    static const QMetaMethod signal = QMetaMethod::fromSignal(&BoardEmulator::blockSent);
    if (isSignalConnected(signal))
        QMetaObject::invokeMethod(this, [this, index] { emit blockSent(index); }, Qt::QueuedConnection);
}

void BoardEmulator::setMonitor(qint16 minimum, qint16 average, qint16 maximum)
{
    QMutexLocker lock(&state->mutex);
    state->fixedMonitor[0] = minimum;
    state->fixedMonitor[1] = average;
    state->fixedMonitor[2] = maximum;
    state->monitorFixed = true;
    state->applyFixedMonitor();
}

void BoardEmulator::clearMonitor()
{
    QMutexLocker lock(&state->mutex);
    state->monitorFixed = false;
    state->refreshMonitor();
}

void BoardEmulator::setQuiet(bool on)
{
    QMutexLocker lock(&state->mutex);
    state->generator.setQuiet(on);
}

bool BoardEmulator::quiet() const
{
    QMutexLocker lock(&state->mutex);
    return state->generator.isQuiet();
}

qint16 BoardEmulator::cellOffset(int channel, int cell) const
{
    // Fixed at construction; no lock needed.
    return state->generator.cellOffset(channel & (Channels - 1), cell & Event::CellMask);
}

bool BoardEmulator::setRegisterPortOpen(bool open)
{
    if (!worker || !thread || !thread->isRunning())
        return false;
    bool ok = false;
    QMetaObject::invokeMethod(
        worker, [this, open, &ok] { ok = worker->setRegisterPortOpen(open); }, Qt::BlockingQueuedConnection);
    return ok;
}
