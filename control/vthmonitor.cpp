#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "qudpthread.h"
#include "registermap.h"
#include "vthcheckdialog.h"

#include <QPointer>
#include <QStatusBar>
#include <QtEndian>

// Takes the threshold chosen in the monitor; it is written with the next
// trigger settings.
void MainWindow::setVth(qint16 vth)
{
    ui->Vth->setText(QStringLiteral("%1").arg(vth));
}

// Threshold monitor: the board triggers on the chosen channel at the highest
// threshold, started without a stream, and reports the channel's minimum,
// average and maximum while the dialog is open; afterwards it is stopped and
// the window's trigger settings are written again. A link error ends the
// dialog, and the status line says that the threshold was not written.
void MainWindow::on_VthMonitor_clicked()
{
    if (!udpThread)
        return;

    qint16 saved = 0;
    const QByteArray image = udpThread->registers();
    if (image.size() > Reg::TriggerVthLow)
        saved = qFromBigEndian<qint16>(image.constData() + Reg::TriggerVth);

    const int channel = (ui->comboBox->currentIndex() - 2) & Reg::TriggerChannelMask;
    udpThread->setRegister(Reg::TriggerSource, quint8(channel | Reg::TriggerChannel));
    udpThread->setRegister(Reg::TriggerVthHigh, 0x7F);
    udpThread->setRegister(Reg::TriggerVthLow, 0xFF);
    udpThread->writeRegisters(Reg::TriggerSource, Reg::TriggerVthLow - Reg::TriggerSource + 1);

    // Arms the board; no stream is opened.
    connected();

    QPointer<QUdpThread> worker = udpThread;
    {
        VthCheckDialog dialog(udpThread, saved);
        connect(&dialog, &VthCheckDialog::setVth, this, &MainWindow::setVth);
        connect(this, &MainWindow::received, &dialog, &VthCheckDialog::setStatus);
        // A link error discards the worker: nothing chosen here could reach
        // the board any more, so the monitor ends with it.
        connect(udpThread, &QObject::destroyed, &dialog, &QDialog::reject);
        dialog.exec();
    }

    // Without the worker both steps below do nothing, and the window stays
    // as the link error left it.
    on_stop_clicked();
    if (!worker || worker != udpThread) {
        notDone(tr("Threshold not written"));
        return;
    }
    statusBar()->showMessage(tr(" stopped"));
    applyTrigger();
}
