#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "qudpthread.h"
#include "registermap.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QStringView>
#include <QTableWidgetItem>
#include <algorithm>
#include <array>
#include <cmath>

namespace {

// Table rows of the two sign-extension settings; column 0 is "Save Data".
enum { SignRow0 = 5, SignRow1 = 6, SaveDataColumn = 0 };

// DRS4 config, write shift, write config and ADC delay adjust.
enum { Drs4Bytes = Reg::AdcDelayAdjust - Reg::Drs4Config + 1 };

void warn(QWidget *parent, const QString &text)
{
    QMessageBox::warning(parent, QString(), text, QMessageBox::Ok);
}

quint8 byteAt(const QByteArray &image, int address)
{
    return quint8(image.at(address));
}

quint16 wordAt(const QByteArray &image, int address)
{
    return quint16(byteAt(image, address) << 8 | byteAt(image, address + 1));
}

// A register field as a number: "0x" hexadecimal, a leading 0 octal,
// otherwise decimal. Qt's automatic base also reads a "0b" binary prefix,
// which these fields do not take.
bool parseRegisterField(const QString &text, ushort *number)
{
    QStringView digits = QStringView(text).trimmed();
    if (digits.startsWith(u'+'))
        digits = digits.mid(1);
    if (digits.size() > 1 && digits.at(0) == u'0'
        && (digits.at(1) == u'b' || digits.at(1) == u'B'))
        return false;
    bool ok = false;
    *number = text.toUShort(&ok, 0);
    return ok;
}

// Volts as the DAC code, or -1 when the text is no finite voltage inside
// 0 to 65535 codes.
int dacCode(const QString &text)
{
    bool ok = false;
    const double volts = text.toDouble(&ok);
    if (!ok || !std::isfinite(volts) || volts < 0)
        return -1;
    const double code = volts * Reg::DacCodes / Reg::DacFullScaleVolts;
    if (code > Reg::DacCodes - 1)
        return -1;
    return int(code);
}

} // namespace

// Cancel as the default: Enter or Escape alone never confirms.
bool MainWindow::askOkCancel(const QString &question)
{
    QMessageBox box(QMessageBox::Warning, QString(), question, QMessageBox::Ok | QMessageBox::Cancel, this);
    box.setDefaultButton(QMessageBox::Cancel);
    return box.exec() == QMessageBox::Ok;
}

void MainWindow::on_ok_clicked()
{
    if (!udpThread)
        return;
    const QByteArray image = udpThread->registers();
    const int count = image.size();
    bool changed = false;
    std::array<QString, Reg::DacCount> dacTexts; // as taken, for the fields' codes once written

    if (count > Reg::Drs4Config) {
        struct ByteField {
            QLineEdit *edit;
            const char *message;
            quint8 *value;
        };
        const ByteField bytes[Drs4Bytes] = {
            {ui->config, "Invalid value for DRS4 Config: %1", &drs4Config},
            {ui->writeShift, "Invalid value for DRS4 Write Shift: %1", &drs4WriteShift},
            {ui->writeConfig, "Invalid value for DRS4 Write Config: %1", &drs4WriteConfig},
            {ui->adjust, "Invalid value for DRS4 Adjust: %1", &adcDelayAdjust},
        };
        for (int i = 0; i < Drs4Bytes; ++i) {
            const int address = Reg::Drs4Config + i;
            if (address >= count)
                break;
            const QString text = bytes[i].edit->text();
            ushort number = 0;
            if (!parseRegisterField(text, &number)) {
                warn(this, QString::fromLatin1(bytes[i].message).arg(text));
                return;
            }
            *bytes[i].value = quint8(number & 0xFF);
            if (*bytes[i].value != byteAt(image, address))
                changed = true;
        }

        struct DacField {
            QLineEdit *edit;
            const char *message;
        };
        const DacField dacs[Reg::DacCount] = {
            {ui->vROFS0, "Invalid value for DRS4-0 V<ROFS> DAC: %1"},
            {ui->vROFS1, "Invalid value for DRS4-1 V<ROFS> DAC: %1"},
            {ui->vBIAS0, "Invalid value for DRS4-0 V<BIAS> DAC: %1"},
            {ui->vBIAS1, "Invalid value for DRS4-1 V<BIAS> DAC: %1"},
            {ui->vOOFS0, "Invalid value for DRS4-0 V<OOFS> DAC: %1"},
            {ui->vOOFS1, "Invalid value for DRS4-1 V<OOFS> DAC: %1"},
        };
        for (int i = 0; i < Reg::DacCount; ++i) {
            const int address = Reg::Dac + 2 * i;
            if (address + 1 >= count)
                break;
            const QString text = dacs[i].edit->text();
            dacTexts[i] = text;
            // A field left as the refresh showed it, or showing the board's
            // code, keeps that code: 3-digit volts may not give it back.
            const quint16 board = wordAt(image, address);
            if (text == dacShown[i] || text == QUdpThread::toVolt(board)) {
                dacCodes[i] = board;
                continue;
            }
            const int code = dacCode(text);
            if (code < 0) {
                warn(this, QString::fromLatin1(dacs[i].message).arg(text));
                return;
            }
            dacCodes[i] = quint16(code);
            if (dacCodes[i] != wordAt(image, address))
                changed = true;
        }
    }

    if (!changed) {
        warn(this, QStringLiteral("Nothing changes"));
        return;
    }

    QPointer<QUdpThread> worker = udpThread;
    if (!askOkCancel(QStringLiteral("Are you sure you want to change the settings?")))
        return;
    // A link error while the box was open has discarded the worker.
    if (!worker || worker != udpThread) {
        notDone(tr("Register settings not written"));
        return;
    }

    // The values as taken now: a job that waits for a run keeps them.
    const std::array<quint8, Drs4Bytes> drs4 = {drs4Config, drs4WriteShift, drs4WriteConfig, adcDelayAdjust};
    std::array<quint16, Reg::DacCount> dacs;
    std::copy(std::begin(dacCodes), std::end(dacCodes), dacs.begin());
    whenWorkerFree([this, worker, count, drs4, dacs, dacTexts] {
        // The Registers tab's read may still be going: it would overwrite the
        // image and, at its end, drop the queued write.
        if (!worker || worker != udpThread || !endWorkerRun()) {
            notDone(tr("Register settings not written"));
            return;
        }
        // Only the registers whose fields were taken.
        for (int i = 0; i < Drs4Bytes && Reg::Drs4Config + i < count; ++i)
            udpThread->setRegister(Reg::Drs4Config + i, drs4[i]);
        for (int i = 0; i < Reg::DacCount && Reg::Dac + 2 * i + 1 < count; ++i) {
            udpThread->setRegister(Reg::Dac + 2 * i, quint8(dacs[i] >> 8));
            udpThread->setRegister(Reg::Dac + 2 * i + 1, quint8(dacs[i] & 0xFF));
            // The text stands for the code written now: typing the old one
            // back is an edit again.
            dacShown[i] = dacTexts[i];
        }
        if (udpThread->registerCount() <= Reg::Drs4First)
            return; // the image was lost with the read: nothing to send
        udpThread->writeRegisters(Reg::Drs4First, Reg::Drs4Length);
        startWorker(QUdpThread::ModeFlush);
    });
}

void MainWindow::on_cancel_clicked()
{
    refreshSettings();
}

// Shows the register image in the Registers tab's fields.
void MainWindow::refreshSettings()
{
    if (!udpThread)
        return;
    const QByteArray image = udpThread->registers();
    const int count = image.size();

    // No board value is known to belong to the sampling timing field.
    if (udpThread->hasRegisters())
        ui->timing->setText(QString::number(0));
    if (count > Reg::Drs4Config)
        ui->config->setText(QUdpThread::toHex(byteAt(image, Reg::Drs4Config)));
    if (count > Reg::Drs4WriteShift)
        ui->writeShift->setText(QUdpThread::toHex(byteAt(image, Reg::Drs4WriteShift)));
    if (count > Reg::Drs4WriteConfig)
        ui->writeConfig->setText(QUdpThread::toHex(byteAt(image, Reg::Drs4WriteConfig)));
    if (count > Reg::AdcDelayAdjust) {
        scratchText = QString::number(byteAt(image, Reg::AdcDelayAdjust));
        ui->adjust->setText(scratchText);
    }
    QLineEdit *const dacs[Reg::DacCount] = {ui->vROFS0, ui->vROFS1, ui->vBIAS0,
                                            ui->vBIAS1, ui->vOOFS0, ui->vOOFS1};
    for (int i = 0; i < Reg::DacCount; ++i) {
        const int address = Reg::Dac + 2 * i;
        if (address + 1 < count) {
            dacShown[i] = QUdpThread::toVolt(wordAt(image, address));
            dacs[i]->setText(dacShown[i]);
        }
    }
}

void MainWindow::on_saveROM_clicked()
{
    if (!udpThread)
        return;
    // What the operator chose; a report arriving later resets the choices.
    const int page = ui->page->currentIndex();
    const quint8 bits = quint8((ui->sign1->currentIndex() != 0 ? Reg::SamplingSignAdc1 : 0)
                               | (ui->sign0->currentIndex() != 0 ? Reg::SamplingSignAdc0 : 0));
    QPointer<QUdpThread> worker = udpThread;
    if (!askOkCancel(QStringLiteral("Are you sure you want to save to EEPROM?")))
        return;
    if (!worker || worker != udpThread) {
        notDone(tr("EEPROM page not saved"));
        return;
    }
    whenWorkerFree(
        [this, worker, page, bits] {
            // Parameters are set only once no run can still read them.
            if (!worker || worker != udpThread || !endWorkerRun()) {
                notDone(tr("EEPROM page not saved"));
                return;
            }
            udpThread->romPage = page;
            udpThread->signBits = bits;
            startWorker(QUdpThread::ModeSaveRom);
        },
        WaitWriteJob);
}

// The "Save Data" cell shows what the next save writes; the image is not changed.
void MainWindow::setSignCell(int row, int index)
{
    auto *item = new QTableWidgetItem(index != 0 ? QStringLiteral("ON") : QStringLiteral("OFF"));
    item->setTextAlignment(Qt::AlignCenter);
    ui->tableWidget->setItem(row, SaveDataColumn, item);
}

void MainWindow::on_sign0_currentIndexChanged(int index)
{
    setSignCell(SignRow0, index);
}

void MainWindow::on_sign1_currentIndexChanged(int index)
{
    setSignCell(SignRow1, index);
}
