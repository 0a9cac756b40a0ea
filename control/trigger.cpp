#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "qudpthread.h"
#include "registermap.h"

#include <QIcon>
#include <QMessageBox>
#include <QPixmap>
#include <cmath>

namespace {

enum {
    ControlRegister = Reg::Control,
    BootRegister = Reg::Boot,
    TriggerSourceRegister = Reg::TriggerSource,
    TriggerDelayRegister = Reg::TriggerDelay,
    TriggerVthHigh = Reg::TriggerVthHigh,
    TriggerVthLow = Reg::TriggerVthLow,
    SamplingRegister = Reg::Sampling
};

const double DelayStep = Reg::TriggerDelayStepNs; // ns per delay code

QString delayText(int code)
{
    return QString::number(DelayStep * code, 'g', 6);
}

// Combo index: 0, 1 = NIM-IN0/1; 2 + n = channel n.
quint8 sourceCode(int index)
{
    return index < 2 ? quint8(index) : quint8(((index - 2) & Reg::TriggerChannelMask) | Reg::TriggerChannel);
}

int sourceIndex(int reg)
{
    return (reg & Reg::TriggerChannel) ? (reg & Reg::TriggerChannelMask) + 2 : (reg & Reg::TriggerNimMask);
}

} // namespace

void MainWindow::setTriggerInputsEnabled(bool enabled)
{
    ui->Vth->setEnabled(enabled);
    ui->labelVth->setEnabled(enabled);
    ui->rise->setEnabled(enabled);
    ui->fall->setEnabled(enabled);
    ui->VthMonitor->setEnabled(enabled);
}

// Threshold and edge apply only to a channel source.
void MainWindow::on_comboBox_currentIndexChanged(int index)
{
    setTriggerInputsEnabled(index > 1);
}

// Puts the trigger and sampling widgets into registers 16 to 20 and queues
// their write. False, with a warning, when the delay or threshold is refused.
bool MainWindow::applyTrigger()
{
    if (!udpThread)
        return false;
    const int count = udpThread->registerCount();

    if (count > TriggerSourceRegister) {
        quint8 source = sourceCode(ui->comboBox->currentIndex());
        if (ui->fall->isChecked())
            source |= Reg::TriggerFalling;
        udpThread->setRegister(TriggerSourceRegister, source);
    }

    const QString delayInput = ui->delay->text();
    int code = 0;
    if (!triggerDelayCode(delayInput, &code)) {
        QMessageBox::warning(this, QString(), QStringLiteral("Invalid Trigger Delay: %1").arg(delayInput));
        return false;
    }
    ui->delay->setText(delayText(code));
    if (count > TriggerDelayRegister)
        udpThread->setRegister(TriggerDelayRegister, quint8(code));

    samplingCode = quint8(ui->sampling->currentIndex() & Reg::SamplingCodeMask);
    if (count > SamplingRegister) {
        const int reg = udpThread->registerValue(SamplingRegister);
        udpThread->setRegister(SamplingRegister, quint8((reg & ~Reg::SamplingCodeMask) | samplingCode));
    }

    const QString vthInput = ui->Vth->text();
    qint16 vth = 0;
    if (!triggerThreshold(vthInput, &vth)) {
        QMessageBox::warning(this, QString(), QStringLiteral("Invalid Trigger Vth: %1").arg(vthInput));
        return false;
    }
    if (count > TriggerVthLow) {
        udpThread->setRegister(TriggerVthHigh, quint8(quint16(vth) >> 8));
        udpThread->setRegister(TriggerVthLow, quint8(quint16(vth) & 0xFF));
    }

    udpThread->writeRegisters(TriggerSourceRegister, SamplingRegister - TriggerSourceRegister + 1);
    return true;
}

// The delay field in ns as a code of 6.4 ns steps, rounded; false unless 0..255.
bool MainWindow::triggerDelayCode(const QString &text, int *code)
{
    bool ok = false;
    const double f = text.toDouble(&ok) / DelayStep + 0.5;
    if (!ok || !std::isfinite(f) || f < 0 || f >= 256)
        return false;
    *code = int(f);
    return true;
}

// The threshold field as signed 16-bit ADC counts.
bool MainWindow::triggerThreshold(const QString &text, qint16 *vth)
{
    bool ok = false;
    *vth = text.toShort(&ok, 10);
    return ok;
}

// Shows the board's condition, trigger, sampling and EEPROM settings as the
// register image holds them.
void MainWindow::updateFromRegisters()
{
    if (!udpThread)
        return;
    const QByteArray image = udpThread->registers();
    const int count = image.size();
    auto reg = [&image](int i) { return quint8(image.at(i)); };

    if (count > ControlRegister)
        showCondition(reg(ControlRegister) & Reg::ControlSetup);
    if (count > TriggerSourceRegister) {
        const quint8 source = reg(TriggerSourceRegister);
        if (source & Reg::TriggerFalling)
            ui->fall->setChecked(true);
        else
            ui->rise->setChecked(true);
        const int index = sourceIndex(source);
        ui->comboBox->setCurrentIndex(index);
        on_comboBox_currentIndexChanged(index);
    }
    if (count > TriggerDelayRegister)
        ui->delay->setText(delayText(reg(TriggerDelayRegister)));
    if (count > SamplingRegister) {
        samplingCode = reg(SamplingRegister) & Reg::SamplingCodeMask;
        ui->sampling->setCurrentIndex(samplingCode);
    }
    if (count > TriggerVthLow) {
        const qint16 vth = qint16(quint16(reg(TriggerVthHigh) << 8 | reg(TriggerVthLow)));
        ui->Vth->setText(QString::number(vth));
    }
    if (count > BootRegister) {
        const int bootPage = reg(BootRegister) >> Reg::BootPageShift;
        ui->page->setCurrentIndex(bootPage);
        ui->labelBoot->setText(QStringLiteral("Current boot-page: %1").arg(bootPage));
    }
    if (count > SamplingRegister) {
        ui->sign0->setCurrentIndex((reg(SamplingRegister) & Reg::SamplingSignAdc0) ? 1 : 0);
        ui->sign1->setCurrentIndex((reg(SamplingRegister) & Reg::SamplingSignAdc1) ? 1 : 0);
    }
    // The worker may have gone while a slot of a signal above ran.
    if (udpThread)
        udpThread->fillRegisterTable(ui->tableWidget);
}

// The setup/idle LEDs, the toggle's icon and the controls usable only when idle.
void MainWindow::showCondition(bool setup)
{
    const QPixmap lit(QStringLiteral(":/images/led_green.png"));
    const QPixmap dark(QStringLiteral(":/images/led_off.png"));
    ui->setupLED->setPixmap(setup ? lit : dark);
    ui->idleLED->setPixmap(setup ? dark : lit);
    ui->reset->setEnabled(!setup);
    ui->trigger->setEnabled(!setup);
    ui->pushButton->setIcon(QIcon(setup ? QStringLiteral(":/images/up.png")
                                        : QStringLiteral(":/images/down.png")));
    setupCondition = setup;
}
