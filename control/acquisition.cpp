#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "qtcpthread.h"
#include "qudpthread.h"
#include "registermap.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QPixmap>
#include <QStatusBar>
#include <QThread>
#include <QTimer>

#include <utility>

namespace {

constexpr quint8 SetupBit = Reg::ControlSetup;
constexpr quint8 ContinuousBit = Reg::ControlContinuous;
constexpr quint8 StartBit = Reg::ControlStart;
constexpr quint8 StopBit = Reg::ControlStop;
constexpr quint8 ResetBit = Reg::ControlReset;
constexpr quint8 T0Bit = Reg::ControlT0;
constexpr int ControlAddress = Reg::Control;

constexpr int TickMs = 1000;
constexpr int StopPauseMs = 1000;
// The board's wait-time word may ask for up to 65 s; the window waits at most this.
constexpr int MaxEndPauseMs = 1000;
// Longest wait for a stop write made outside Stop (stream error, window closed).
constexpr int StopWriteMs = 1000;

void showLed(QLabel *led, bool lit)
{
    led->setPixmap(QPixmap(lit ? QStringLiteral(":/images/led_green.png")
                               : QStringLiteral(":/images/led_off.png")));
}

} // namespace

void MainWindow::tick()
{
    // Events do not restart the timer; the second is counted from the last one here.
    if (timer->isActive() && lastEvent.isValid()) {
        const qint64 since = lastEvent.elapsed();
        if (since < TickMs) {
            timer->start(int(TickMs - since));
            return;
        }
        if (timer->interval() != TickMs)
            timer->start(TickMs);
    }
    statusBar()->showMessage(tr(" waiting trigger"));
}

void MainWindow::setStatus(quint8 status)
{
    if (fromOtherWorker())
        return;
    showLed(ui->adcLED, (status & Reg::StatusAdcReady) == Reg::StatusAdcReady);
    showLed(ui->drsLED, status & Reg::StatusDrsReady);
    showLed(ui->exeLED, status & Reg::StatusExecuting);
    // A stream already ending (Stop pressed, or aborted) is offered no Stop:
    // a status read before the stop bit landed may still say "executing".
    const bool streamEnding = tcpThread && (tcpThread->isAborted() || tcpThread->isDraining());
    if (!continuousMode && (status & Reg::StatusExecuting) && !streamEnding)
        ui->stop->setEnabled(true);
    if (udpThread && udpThread->hasRegisters())
        ui->timing->setText(QString::number(0));
    emit received();
}

void MainWindow::connectionClosed()
{
    if (blockDepth > 0) {
        // A modal box inside takeBlock() is open; finish once it has returned.
        closePending = true;
        return;
    }
    statusBar()->showMessage(tr(" stopped"));
    timer->stop();
    lastEvent.invalidate();

    // A stream that ended by itself (an error) leaves the board acquiring:
    // stop it, so the next run holds only its own events.
    if (running && udpThread)
        writeStopNow();

    QThread::msleep(udpThread ? qMin<int>(udpThread->waitTime(), MaxEndPauseMs) : 1);

    if (tcpThread) {
        tcpThread->wait();
        // Nothing handed over is left behind.
        if (tcpThread->hasBlock() && blockDepth == 0)
            takeFromReader();
        delete tcpThread;
        tcpThread = nullptr;
        // Remote commands that waited for the stream's end follow.
        resumeWaiting();
    }

    const int start = std::exchange(pendingStart, int(NoPendingStart));
    ui->stop->setEnabled(false);
    enableStartControls();

    // The run ends with its stream, even when the worker has gone meanwhile.
    if (runFile)
        closeRun(true);

    if (!udpThread) {
        // Only the Stop of a stream that outlived a link error kept this tab open.
        ui->tabWidget->setTabEnabled(1, false);
        return;
    }
    if (serverRunning) {
        // Polling ends with the stream; a flush (a remote stop's write) is
        // let finish.
        if (!workerBusy())
            udpThread->stop();
        return;
    }
    unlockControls();
    if (start != NoPendingStart)
        startAcquisition(start == PendingContinuous);
}

void MainWindow::connected()
{
    // A stream stopped before its connection stood must not arm the board.
    if (tcpThread && (tcpThread->isAborted() || tcpThread->isDraining()))
        return;
    statusBar()->showMessage(tr(" waiting trigger"));
    if (!udpThread)
        return;
    quint8 value = controlRegister() & SetupBit;
    if (continuousMode) {
        ui->stop->setEnabled(true);
        value |= ContinuousBit;
    }
    clearEvent();
    if (useT0)
        value |= T0Bit;
    writeControl(value | StartBit);
    running = true;
    serverConnected();
}

void MainWindow::updateData(QByteArray *data)
{
    if (!data)
        return;
    if (tcpThread && data == tcpThread->blockBuffer()) {
        // Blocks taken during Stop's pause leave notices with nothing behind them.
        if (!tcpThread->hasBlock())
            return;
        if (blockDepth > 0) {
            // Re-entered from a modal box: the block stays with the reader,
            // which stays disarmed until it has been taken.
            readerHeld = true;
            return;
        }
        takeFromReader();
    } else {
        if (blockDepth > 0) {
            heldBlock = QByteArray(data->constData(), data->size());
            return;
        }
        takeBlock(QByteArray(data->constData(), data->size()), false);
    }
    // Blocks that arrived while a modal box was open, each of which may open
    // a box again.
    for (;;) {
        while (!heldBlock.isNull()) {
            QByteArray next;
            next.swap(heldBlock);
            takeBlock(std::move(next), false);
        }
        if (!readerHeld)
            break;
        readerHeld = false;
        if (tcpThread && tcpThread->hasBlock())
            takeFromReader();
    }
    if (closePending) {
        closePending = false;
        connectionClosed();
    }
}

// The reader's block becomes the window's event; the reader refills the
// array of the previous event (a swap, not a copy).
void MainWindow::takeFromReader()
{
    QByteArray *buffer = tcpThread->blockBuffer();
    QByteArray block = std::move(*buffer);
    *buffer = std::move(eventBuffer);
    eventBuffer = QByteArray();
    takeBlock(std::move(block), true);
}

void MainWindow::takeBlock(QByteArray &&block, bool fromReader)
{
    static const QString triggered = tr(" triggered");
    ++blockDepth;
    if (continuousMode) {
        // The tick timer counts the second from the last event (see tick()).
        lastEvent.start();
        if (!timer->isActive())
            timer->start(TickMs);
        if (statusBar()->currentMessage() != triggered)
            statusBar()->showMessage(triggered);
    } else {
        statusBar()->showMessage(QString());
    }
    eventBuffer = std::move(block);
    correctOffsets();
    if (fromReader && tcpThread)
        tcpThread->rearm();

    bool handOn = true;
    if (runFile)
        handOn = appendBlock(eventBuffer);
    if (handOn) {
        ui->graph->setEnabled(true);
        emit newData(&eventBuffer, samplingCode);
    }
    --blockDepth;
    // The stream ended under a box: finish it from the event loop, as no
    // further block may come to do it (Stop's pause, a Single's block).
    if (closePending && blockDepth == 0) {
        QMetaObject::invokeMethod(this, [this] {
            if (closePending && blockDepth == 0) {
                closePending = false;
                connectionClosed();
            }
        }, Qt::QueuedConnection);
    }
    if (handOn && !continuousMode && running)
        on_stop_clicked();
}

// Stop's pause: the GUI thread waits, but goes on taking the blocks the
// board sends until the stop bit lands, so the reader is never held up.
void MainWindow::pauseTakingBlocks(int ms)
{
    QDeadlineTimer deadline(ms);
    for (;;) {
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            break;
        // Not while a block is half handled under a modal box.
        const bool canTake = tcpThread && blockDepth == 0;
        if (canTake && tcpThread->hasBlock()) {
            readerHeld = false;
            takeFromReader();
            continue;
        }
        if (canTake && tcpThread->isRunning()) {
            tcpThread->waitForBlock(int(qMin<qint64>(left, 50)));
            continue;
        }
        QThread::msleep(ulong(qMin<qint64>(left, 50)));
    }
    // A block whose notice a modal box swallowed during the last take.
    if (readerHeld && blockDepth == 0) {
        QTimer::singleShot(0, this, [this] {
            if (tcpThread && tcpThread->hasBlock())
                updateData(tcpThread->blockBuffer());
        });
    }
}

// Writes the stop bit and waits (at most StopWriteMs) until the worker has sent it.
void MainWindow::writeStopNow()
{
    if (!udpThread)
        return;
    writeControl((controlRegister() & SetupBit) | StopBit);
    if (!udpThread->isRunning())
        startWorker(QUdpThread::ModeFlush);
    udpThread->waitForQueue(StopWriteMs);
}

void MainWindow::on_single_clicked()
{
    startAcquisition(false);
}

void MainWindow::on_start_clicked()
{
    startAcquisition(true);
}

void MainWindow::on_stop_clicked()
{
    // Re-entered by a Single whose block arrives during the pause; or a
    // second stop while the stream drains, which would cut the drain short.
    pendingStart = NoPendingStart;
    if (stopping || (tcpThread && tcpThread->isDraining()))
        return;
    // A stream whose board was never armed has nothing to drain: end it now.
    if (tcpThread && !running)
        tcpThread->abort();
    bool stopWritten = false;
    if (udpThread) {
        writeControl((controlRegister() & SetupBit) | StopBit);
        stopWritten = true;
        stopping = true;
        pauseTakingBlocks(StopPauseMs);
        stopping = false;
    }
    // The blocks the board sent before the stop bit landed are still taken;
    // the stream ends once it has gone quiet. Without a worker no stop bit
    // reaches the board, so the stream is ended at once (the run file gets
    // closed all the same).
    if (tcpThread) {
        if (stopWritten && running)
            tcpThread->drain();
        else
            tcpThread->abort();
    }
    ui->stop->setEnabled(false);
    continuousMode = false;
    running = false;
}

void MainWindow::on_reset_clicked()
{
    if (!udpThread)
        return;
    writeControl((controlRegister() & SetupBit) | ResetBit);
}

void MainWindow::on_pushButton_clicked()
{
    if (!udpThread)
        return;
    if (udpThread->registerCount() <= ControlAddress) {
        udpThread->writeRegisters(ControlAddress, 1);
        return;
    }
    quint8 value;
    if (controlRegister() & SetupBit) {
        showCondition(false);
        value = 0x00;
    } else {
        if (!applyTrigger() || !udpThread)
            return;
        showCondition(true);
        value = SetupBit;
    }
    writeControl(value);
}

void MainWindow::startAcquisition(bool continuous)
{
    if (!udpThread || udpThread->registerCount() <= ControlAddress)
        return;
    if (tcpThread) {
        // The last stream is still ending (a calibration Run right after its
        // Stop): start once it has ended.
        if (!running && (tcpThread->isDraining() || tcpThread->isAborted()))
            pendingStart = continuous ? PendingContinuous : PendingSingle;
        return;
    }
    // The stream target is checked before anything is written, locked or opened.
    QHostAddress host;
    quint16 port = 0;
    if (!checkTarget(ui->tcp->text(), &port, &host))
        return;
    if (!(controlRegister() & SetupBit)) {
        if (!applyTrigger())
            return;
    }
    if (!udpThread)
        return;
    if (ui->save->isChecked()) {
        if (!openRun())
            return;
        // A link error may have removed the worker while a question was open.
        if (!udpThread) {
            abandonRun();
            return;
        }
    }

    ui->reset->setEnabled(false);
    ui->start->setEnabled(false);
    ui->single->setEnabled(false);
    ui->trigger->setEnabled(false);
    ui->pushButton->setEnabled(false);
    ui->calibration->setEnabled(false);
    ui->usingCalibration->setEnabled(false);
    for (int i : {0, 2, 3, 4})
        ui->tabWidget->setTabEnabled(i, false);

    connectDataStream(continuous);
    if (!tcpThread) {
        if (runFile)
            abandonRun();
        enableStartControls();
        unlockControls();
    }
}

void MainWindow::connectDataStream(bool continuous)
{
    if (tcpThread)
        return;
    QHostAddress host;
    quint16 port = 0;
    if (!checkTarget(ui->tcp->text(), &port, &host))
        return;
    tcpThread = new QTcpThread(ui->address->text(), port, this);
    statusBar()->showMessage(tr(" connecting..."));
    tcpThread->start(QThread::InheritPriority);
    continuousMode = continuous;
}

void MainWindow::clearEvent()
{
    emit startTrigger();
    ui->graph->setEnabled(false);
    eventBuffer.clear();
}

quint8 MainWindow::controlRegister() const
{
    if (!udpThread || udpThread->registerCount() <= ControlAddress)
        return 0;
    const int value = udpThread->registerValue(ControlAddress);
    return value < 0 ? 0 : quint8(value);
}

void MainWindow::writeControl(quint8 value)
{
    if (udpThread->registerCount() > ControlAddress)
        udpThread->setRegister(ControlAddress, value);
    udpThread->writeRegisters(ControlAddress, 1);
}

// The start buttons, the condition toggle and calibration once no stream runs.
void MainWindow::enableStartControls()
{
    ui->start->setEnabled(true);
    ui->single->setEnabled(true);
    ui->pushButton->setEnabled(true);
    ui->calibration->setEnabled(!useT0);
    offerOffsetCorrection();
}

// Tabs and the condition-dependent controls after a stream (or a refused start).
void MainWindow::unlockControls()
{
    for (int i : {0, 2, 3, 4})
        ui->tabWidget->setTabEnabled(i, true);
    const bool idle = !(controlRegister() & SetupBit);
    ui->trigger->setEnabled(idle);
    ui->reset->setEnabled(idle);
}
