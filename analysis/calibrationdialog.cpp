#include "calibrationdialog.h"
#include "ui_calibrationdialog.h"

#include "eventblock.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMessageBox>
#include <QStringList>
#include <QTextStream>
#include <QtEndian>
#include <algorithm>
#include <cstring>

// The offset of every channel and cell: empty until the first completed run
// or successful load, never emptied again.
static QVector<qint16> calibrationOffsets[Event::Channels];
// The file field's text at the last successful load; emptied by a run.
static QString calibrationPath;
// A completed run whose table has not been replaced by a load.
static bool calibrationUnsaved = false;

namespace {

const char *const FileFilter = QT_TRANSLATE_NOOP("CalibrationDialog", "CSV Files (*.csv);;All Files (*.*)");

// sum / count rounded to the nearest integer, halves away from zero.
qint16 roundedAverage(qint64 sum, qint64 count)
{
    const qint64 q = sum >= 0 ? (2 * sum + count) / (2 * count) : -((-2 * sum + count) / (2 * count));
    return qint16(q);
}

// n big-endian words at p, less the offsets, modulo 2^16.
void subtractOffsets(uchar *p, const qint16 *offset, int n)
{
    for (int i = 0; i < n; ++i) {
        quint16 v;
        memcpy(&v, p + 2 * i, 2);
        v = qToBigEndian<quint16>(quint16(qFromBigEndian<quint16>(v) - quint16(offset[i])));
        memcpy(p + 2 * i, &v, 2);
    }
}

// n big-endian signed words at p added into sum, each counted; returns how
// many of the counts were still below `wanted`.
qint64 addSamples(const uchar *p, qint64 *sum, qint64 *count, int n, qint64 wanted)
{
    qint64 below = 0;
    for (int i = 0; i < n; ++i) {
        quint16 v;
        memcpy(&v, p + 2 * i, 2);
        sum[i] += qint16(qFromBigEndian<quint16>(v));
        below += count[i] < wanted;
        ++count[i];
    }
    return below;
}

// Calls f(k, cell, n) for sample words 1 + k .. k + n of a channel, which lie
// in consecutive cells from `cell`: words 1..count in at most two stretches.
template<typename F>
void forEachStretch(int startCell, int count, F f)
{
    int cell = startCell;
    for (int k = 0; k < count;) {
        const int n = std::min(count - k, Event::Cells - cell);
        f(k, cell, n);
        k += n;
        cell = 0;
    }
}

// Bounds of what Load reads: a table of 16 values a line is far smaller.
const qint64 MaxCalibrationFileSize = 16 * 1024 * 1024;
const int MaxCalibrationLineLength = 4096;

void warn(QWidget *parent, const QString &text)
{
    QMessageBox::warning(parent, QCoreApplication::applicationName(), text, QMessageBox::Ok);
}

} // namespace

CalibrationDialog::CalibrationDialog(QWidget *parent)
    : QDialog(parent)
{
    ui = new Ui_CalibrationDialog;
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    ui->btnCancel->setEnabled(false);
    ui->btnSave->setEnabled(isCalibrated() && calibrationUnsaved);
    ui->lineEditFile->setText(calibrationPath);
}

CalibrationDialog::~CalibrationDialog()
{
    delete ui;
}

bool CalibrationDialog::isCalibrated()
{
    return !calibrationOffsets[0].isEmpty();
}

void CalibrationDialog::applyCalibration(QByteArray *data)
{
    if (!data || data->size() != Event::BlockSize || !isCalibrated())
        return;
    for (const QVector<qint16> &column : calibrationOffsets)
        if (column.size() < Event::Cells)
            return;
    uchar *block = reinterpret_cast<uchar *>(data->data()); // detaches a shared array
    for (int ch = 0; ch < Event::Channels; ++ch) {
        const qint16 *offset = calibrationOffsets[ch].constData();
        uchar *words = block + Event::wordOffset(ch, 1);
        forEachStretch(Event::startCell(block, ch), Event::Words - 1,
                       [&](int k, int cell, int n) { subtractOffsets(words + 2 * k, offset + cell, n); });
    }
}

void CalibrationDialog::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape)
        return;
    QDialog::keyPressEvent(event);
}

void CalibrationDialog::closeEvent(QCloseEvent *event)
{
    // A run in progress ends only through Cancel or completion.
    if (!ui->btnCalibrationRun->isEnabled())
        event->ignore();
}

void CalibrationDialog::on_btnCalibrationRun_clicked()
{
    bool ok = false;
    const int n = ui->lineEditAverageCount->text().toInt(&ok, 10);
    if (!ok || n <= 0) {
        // A refused Run leaves a run in progress, and its N, as they were.
        warn(this, tr("Invalid Average Count"));
        return;
    }
    averageCount = n;
    triggerCount = 0;
    filled = 0;
    showRunning(true);
    ui->progressBar->setValue(0);
    for (int ch = 0; ch < Event::Channels; ++ch) {
        sums[ch].fill(0, Event::Cells);
        counts[ch].fill(0, Event::Cells);
    }
    collecting = true;
    emit start();
}

void CalibrationDialog::on_btnCancel_clicked()
{
    collecting = false;
    showRunning(false);
    emit stop();
}

// Run, File and Load are usable between runs, Cancel during one; Save only
// after a completed run, which enables it itself.
void CalibrationDialog::showRunning(bool running)
{
    ui->btnCalibrationRun->setEnabled(!running);
    ui->btnCancel->setEnabled(running);
    ui->btnSave->setEnabled(false);
    ui->btnFile->setEnabled(!running);
    ui->btnLoad->setEnabled(!running);
}

void CalibrationDialog::newData(QByteArray *data, int sampling)
{
    Q_UNUSED(sampling);
    // Only events of an accepted, not cancelled Run count.
    if (!collecting || !data || data->size() < Event::BlockSize)
        return;
    ++triggerCount;
    ui->labelTriggerCount->setText(QString::number(triggerCount));

    const qint64 n = averageCount;
    const uchar *block = reinterpret_cast<const uchar *>(data->constData());
    for (int ch = 0; ch < Event::Channels; ++ch) {
        const uchar *words = block + Event::wordOffset(ch, 1);
        qint64 *sum = sums[ch].data();
        qint64 *count = counts[ch].data();
        // Words 1..1022: word 1023 is corrected later but never accumulated.
        forEachStretch(Event::startCell(block, ch), Event::Words - 2, [&](int k, int cell, int m) {
            filled += addSamples(words + 2 * k, sum + cell, count + cell, m, n);
        });
    }

    // Every cell of every channel has its N samples once all are filled.
    const qint64 total = n * Event::Channels * Event::Cells;
    ui->progressBar->setValue(int(double(filled) / double(total) * 100));
    if (filled < total)
        return;

    for (int ch = 0; ch < Event::Channels; ++ch) {
        calibrationOffsets[ch].resize(Event::Cells);
        for (int cell = 0; cell < Event::Cells; ++cell)
            calibrationOffsets[ch][cell] = roundedAverage(sums[ch][cell], counts[ch][cell]);
    }
    showRunning(false);
    ui->btnSave->setEnabled(true);
    ui->lineEditFile->clear();
    calibrationPath.clear();
    calibrationUnsaved = true;
    emit stop();
}

void CalibrationDialog::on_btnSave_clicked()
{
    QString name = QFileDialog::getSaveFileName(this, tr("Save Calibration Data"), QDir::currentPath(),
                                                tr(FileFilter));
    name = QDir::toNativeSeparators(name);
    if (name.isEmpty())
        return;
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        warn(this, tr("Cannot open file: %1.").arg(file.errorString()));
        return;
    }
    QByteArray text;
    text.reserve(Event::Cells * Event::Channels * 7);
    for (int cell = 0; cell < Event::Cells; ++cell) {
        for (int ch = 0; ch < Event::Channels; ++ch) {
            if (ch)
                text += ',';
            text += QByteArray::number(calibrationOffsets[ch].value(cell));
        }
        text += '\n';
    }
    // A short write is retried, so that a failing one leaves its error text.
    qint64 done = 0;
    while (done < text.size()) {
        const qint64 n = file.write(text.constData() + done, text.size() - done);
        if (n <= 0)
            break;
        done += n;
    }
    bool written = done == text.size() && file.flush();
    const QString reason = file.errorString();
    file.close();
    written = written && file.error() == QFileDevice::NoError;
    if (!written)
        warn(this, tr("Cannot write %1: %2.").arg(name, reason));
}

void CalibrationDialog::on_btnFile_clicked()
{
    const QString name = QDir::toNativeSeparators(
        QFileDialog::getOpenFileName(this, tr("Choose Calibration Data"), QDir::currentPath(), tr(FileFilter)));
    if (!name.isEmpty())
        ui->lineEditFile->setText(name);
}

void CalibrationDialog::on_btnLoad_clicked()
{
    const QString name = ui->lineEditFile->text();
    if (name.isEmpty()) {
        // QFile would say the same, with a console warning besides.
        warn(this, tr("Cannot load file: %1.").arg(QStringLiteral("No file name specified")));
        return;
    }
    // A device or FIFO would be read without end or block the open.
    const QFileInfo info(name);
    if (info.exists() && !info.isFile() && !info.isDir()) {
        warn(this, tr("Cannot load file: %1.").arg(tr("Not a regular file")));
        return;
    }
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        warn(this, tr("Cannot load file: %1.").arg(file.errorString()));
        return;
    }
    if (file.size() > MaxCalibrationFileSize) {
        warn(this, tr("Cannot load file. Invalid format."));
        return;
    }
    QVector<qint16> columns[Event::Channels];
    QTextStream in(&file);
    QString line;
    qint64 total = 0;
    while (in.readLineInto(&line, MaxCalibrationLineLength + 1)) {
        total += line.size() + 1;
        if (line.size() > MaxCalibrationLineLength || total > MaxCalibrationFileSize) {
            warn(this, tr("Cannot load file. Invalid format."));
            return;
        }
        const QStringList parts = line.split(QLatin1Char(','), Qt::KeepEmptyParts);
        if (parts.size() != Event::Channels)
            continue;
        for (int j = 0; j < Event::Channels; ++j)
            columns[j].append(parts.at(j).toShort(nullptr, 10)); // 0 when it does not convert
    }
    if (columns[0].size() < Event::Cells) {
        warn(this, tr("Cannot load file. Invalid format."));
        return;
    }
    for (int ch = 0; ch < Event::Channels; ++ch)
        calibrationOffsets[ch] = columns[ch];
    calibrationPath = name;
    ui->btnSave->setEnabled(false);
    calibrationUnsaved = false;
    QMessageBox::information(this, QCoreApplication::applicationName(), tr("Load completed!"), QMessageBox::Ok);
}
