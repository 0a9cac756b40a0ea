#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "qtcpthread.h"
#include "qudpthread.h"

#include <QDir>
#include <QFileDialog>
#include <QHostAddress>
#include <QMessageBox>

namespace {

void warn(QWidget *parent, const QString &text)
{
    QMessageBox::warning(parent, QString(), text);
}

} // namespace

// Tabs 1 to 4 are usable only while a board report is at hand.
void MainWindow::setBoardTabsEnabled(bool enabled)
{
    for (int i = 1; i <= 4; ++i)
        ui->tabWidget->setTabEnabled(i, enabled);
}

// True for a signal of a worker that has been replaced or discarded.
bool MainWindow::fromOtherWorker() const
{
    QObject *s = sender();
    return s && s != static_cast<QObject *>(udpThread);
}

// Drops the current worker (replaced or failed): it is stopped and deleted
// later. It stays connected until then, so that its signals still queued
// are known as its own (a disconnected sender is none) and not acted upon;
// they all come before its deletion, as its thread has ended.
void MainWindow::discardWorker()
{
    if (!udpThread)
        return;
    QUdpThread *old = udpThread;
    udpThread = nullptr;
    old->stop();
    old->deleteLater();
}

// The port text (decimal, 1 to 65535) and the board address field, each
// refused with its warning; Read checks the UDP port, a start the stream port.
bool MainWindow::checkTarget(const QString &portText, quint16 *port, QHostAddress *host)
{
    const QString refusal = targetRefusal(portText, port, host);
    if (refusal.isEmpty())
        return true;
    if (refusal.startsWith(QLatin1String("Invalid Port Number")))
        warn(this, refusal + QStringLiteral("\nThe port has to be a value from 1 to 65535"));
    else
        warn(this, refusal);
    return false;
}

// Why a port text and the address field cannot be used, or an empty text.
QString MainWindow::targetRefusal(const QString &portText, quint16 *port, QHostAddress *host) const
{
    bool ok = false;
    const uint value = portText.toUInt(&ok, 10);
    if (!ok || value < 1 || value > 65535)
        return QStringLiteral("Invalid Port Number: %1").arg(portText);
    const QString addressText = ui->address->text();
    if (!host->setAddress(addressText))
        return QStringLiteral("Invalid IP Address: ") + addressText;
    *port = quint16(value);
    return QString();
}

void MainWindow::setTcp(quint16 port)
{
    tcpPort = port;
}

void MainWindow::on_read_clicked()
{
    quint16 port = 0;
    QHostAddress host;
    if (!checkTarget(ui->udp->text(), &port, &host))
        return;

    ipAddress = ui->address->text();
    udpPort = port;
    clearEvent();
    // An EEPROM save, flush or network write still going is let finish.
    whenWorkerFree([this, host] {
        endWorkerRun();

        ui->read->setEnabled(false);
        ui->write->setEnabled(false);
        setBoardTabsEnabled(false);

        if (udpThread) {
            if (!udpThread->updateHost(host, udpPort)) {
                startWorker(QUdpThread::ModeReadInfo);
                return;
            }
            // The socket of a worker is bound to its first target: replace it.
            discardWorker();
            forgetWorkerRuns();
        }

        udpThread = new QUdpThread(this);
        udpThread->updateHost(host, udpPort);
        startWorker(QUdpThread::ModeReadInfo);
    });
}

void MainWindow::exec(const QString &text)
{
    if (!udpThread || fromOtherWorker())
        return;
    boardInfo = text;
    ui->textEdit->setPlainText(boardInfo);
    ui->tcp->setText(QString::number(udpThread->tcpPort()));
    ui->read->setEnabled(true);
    ui->write->setEnabled(true);
    setBoardTabsEnabled(true);
    updateFromRegisters();
}

void MainWindow::on_write_clicked()
{
    const QString addressText = ui->newAddr->text();
    const quint32 ip = QHostAddress(addressText).toIPv4Address();
    if (ip == 0) {
        warn(this, QStringLiteral("%1 is an invalid address.").arg(addressText));
        return;
    }
    // Port 0 would leave the board unreachable after its next boot.
    bool ok = false;
    const QString tcpText = ui->newTcp->text();
    const quint16 newTcpPort = tcpText.toUShort(&ok, 10);
    if (!ok || newTcpPort == 0) {
        warn(this, QStringLiteral("%1 is an invalid port number.").arg(tcpText));
        return;
    }
    const QString udpText = ui->newUdp->text();
    const quint16 newUdpPort = udpText.toUShort(&ok, 10);
    if (!ok || newUdpPort == 0) {
        warn(this, QStringLiteral("%1 is an invalid port number.").arg(udpText));
        return;
    }
    // An EEPROM save or flush still going is let finish; a link error it
    // met has removed the worker then.
    whenWorkerFree(
        [this, ip, newTcpPort, newUdpPort] {
            if (!endWorkerRun()) {
                notDone(tr("Network settings not written"));
                return;
            }

            ui->read->setEnabled(false);
            ui->write->setEnabled(false);
            setBoardTabsEnabled(false);

            udpThread->setNetwork(ip, newTcpPort, newUdpPort);
            startWorker(QUdpThread::ModeWriteNetwork);
        },
        WaitWriteJob);
}

void MainWindow::on_tabWidget_currentChanged(int)
{
    // Without a worker nothing happens. A poll or a read is cut short; an
    // EEPROM save, flush or network write is let finish first, and the tab
    // shown then decides.
    if (!udpThread)
        return;
    whenWorkerFree(
        [this] {
            if (endWorkerRun())
                startTabJob(ui->tabWidget->currentIndex());
        },
        WaitTabJob);
}

// What the tab shown needs of the worker.
void MainWindow::startTabJob(int index)
{
    switch (index) {
    case 0:
        ui->address->setText(ipAddress);
        ui->udp->setText(QString::number(udpPort));
        break;
    case 1:
        startWorker(QUdpThread::ModePoll);
        break;
    case 2:
        refreshSettings();
        startWorker(QUdpThread::ModeReadInfo);
        break;
    case 3:
        updateFromRegisters();
        break;
    default:
        break;
    }
}

void MainWindow::on_toolButton_clicked()
{
    QString startDir = QDir::fromNativeSeparators(ui->path->text());
    if (startDir.isEmpty())
        startDir = QDir::currentPath();
    const QString chosen = QFileDialog::getExistingDirectory(this, tr("Open Directory"), startDir,
                                                             QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty())
        return;
    ui->path->setText(QDir::toNativeSeparators(QDir::current().relativeFilePath(chosen)));
}

void MainWindow::udpError(const QString &text)
{
    if (fromOtherWorker())
        return;
    errorText = text;

    serverLinkError(errorText);

    discardWorker();
    warn(this, errorText);

    // Locked once the box has been answered, whatever ran while it was open.
    ui->stop->setEnabled(false);
    ui->read->setEnabled(true);
    ui->write->setEnabled(false);
    ui->tabWidget->setTabEnabled(0, true);
    setBoardTabsEnabled(false);
    // A stream still running can always be stopped, worker or not (one
    // already ending after Stop needs nothing more).
    if (tcpThread && !tcpThread->isAborted() && !tcpThread->isDraining()) {
        ui->tabWidget->setTabEnabled(1, true);
        ui->stop->setEnabled(true);
    }
    // The failed run and those before it are over once the box has been
    // answered: what waited for them goes on without the worker.
    forgetWorkerRuns();
}

void MainWindow::error(QString text)
{
    errorText = text;
    if (serverRunning) {
        replyBuffer.clear();
        replyBuffer.append("NG");
        replyBuffer.append("\n");
        replyBuffer.append("TCP error! - ");
        replyBuffer.append(text.toLatin1());
        replyBuffer.append("\n");
        sendReply();
        // Polling ends; a flush (a remote stop's write) is let finish.
        if (udpThread && !workerBusy())
            udpThread->stop();
    }
    warn(this, text);
}

void MainWindow::udpStopped(bool ok)
{
    if (fromOtherWorker())
        return;
    workerRunEnded(ok);
}
