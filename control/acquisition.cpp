#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "qtcpthread.h"
#include "qudpthread.h"

#include <QFile>
#include <QHostAddress>
#include <QIcon>
#include <QMessageBox>
#include <QPixmap>
#include <QStatusBar>
#include <QThread>
#include <QTimer>

namespace {

// ControlRegister bits
constexpr quint8 SetupBit = 0x80;
constexpr quint8 ContinuousBit = 0x40;
constexpr quint8 StartBit = 0x20;
constexpr quint8 StopBit = 0x10;
constexpr quint8 ResetBit = 0x08;
constexpr quint8 T0Bit = 0x01;
constexpr int ControlAddress = 4;

void showLed(QLabel *led, bool lit)
{
    led->setPixmap(QPixmap(lit ? QStringLiteral(":/images/led_green.png")
                               : QStringLiteral(":/images/led_off.png")));
}

} // namespace

void MainWindow::tick()
{
    statusBar()->showMessage(tr(" waiting trigger"));
}

void MainWindow::setStatus(quint8 status)
{
    showLed(ui->adcLED, (status & 3) == 3);
    showLed(ui->drsLED, status & 4);
    showLed(ui->exeLED, status & 8);
    if (!continuousMode && (status & 8))
        ui->stop->setEnabled(true);
    // A stream that outlived its worker (link error, Read again) can still be stopped.
    if (tcpThread && !tcpThread->isAborted())
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

    QThread::msleep(udpThread ? udpThread->waitTime() : 1);

    if (tcpThread) {
        tcpThread->wait();
        delete tcpThread;
        tcpThread = nullptr;
    }

    ui->start->setEnabled(true);
    ui->single->setEnabled(true);
    ui->pushButton->setEnabled(true);
    ui->stop->setEnabled(false);
    ui->calibration->setEnabled(!useT0);
    ui->usingCalibration->setEnabled(false);
    offerOffsetCorrection();

    // The run ends with its stream, even when the worker has gone meanwhile.
    if (runFile)
        closeRun(true);

    if (!udpThread) {
        // Only the Stop of a stream that outlived a link error kept this tab open.
        ui->tabWidget->setTabEnabled(1, false);
        return;
    }
    if (serverRunning) {
        udpThread->stop();
        return;
    }
    unlockControls();
}

void MainWindow::connected()
{
    // A stream stopped before its connection stood must not arm the board.
    if (tcpThread && tcpThread->isAborted())
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
    if (blockDepth > 0) {
        // Re-entered from a modal box: keep the block; the reader stays
        // disarmed until it has been taken.
        heldBlock = QByteArray(data->constData(), data->size());
        return;
    }
    takeBlock(QByteArray(data->constData(), data->size()));
    while (!heldBlock.isNull()) {
        QByteArray next;
        next.swap(heldBlock);
        takeBlock(std::move(next));
    }
    if (closePending) {
        closePending = false;
        connectionClosed();
    }
}

void MainWindow::takeBlock(QByteArray &&block)
{
    ++blockDepth;
    if (continuousMode) {
        timer->start(1000);
        statusBar()->showMessage(tr(" triggered"));
    } else {
        statusBar()->showMessage(QString());
    }
    eventBuffer = std::move(block);
    correctOffsets();
    if (tcpThread)
        tcpThread->rearm();

    bool handOn = true;
    if (runFile)
        handOn = appendBlock(eventBuffer);
    if (handOn) {
        ui->graph->setEnabled(true);
        emit newData(&eventBuffer, samplingCode);
        if (!continuousMode && running)
            on_stop_clicked();
    }
    --blockDepth;
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
    // A stream whose board was never armed has nothing to drain: end it now.
    if (tcpThread && !running)
        tcpThread->abort();
    if (udpThread) {
        writeControl((controlRegister() & SetupBit) | StopBit);
        QThread::msleep(1000);
    }
    // Without a worker the stream is still ended, so the run file gets closed.
    if (tcpThread)
        tcpThread->abort();
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
        setLed(false);
        ui->reset->setEnabled(true);
        ui->trigger->setEnabled(true);
        ui->pushButton->setIcon(QIcon(QStringLiteral(":/images/down.png")));
        setupCondition = false;
        value = 0x00;
    } else {
        if (!applyTrigger() || !udpThread)
            return;
        setLed(true);
        ui->reset->setEnabled(false);
        ui->trigger->setEnabled(false);
        ui->pushButton->setIcon(QIcon(QStringLiteral(":/images/up.png")));
        setupCondition = true;
        value = SetupBit;
    }
    writeControl(value);
}

void MainWindow::startAcquisition(bool continuous)
{
    if (!udpThread || udpThread->registerCount() <= ControlAddress || tcpThread)
        return;
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
        ui->start->setEnabled(true);
        ui->single->setEnabled(true);
        ui->pushButton->setEnabled(true);
        ui->calibration->setEnabled(!useT0);
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

// Tabs and the condition-dependent controls after a stream (or a refused start).
void MainWindow::unlockControls()
{
    for (int i : {0, 2, 3, 4})
        ui->tabWidget->setTabEnabled(i, true);
    const bool idle = !(controlRegister() & SetupBit);
    ui->trigger->setEnabled(idle);
    ui->reset->setEnabled(idle);
}
