#include "vthcheckdialog.h"
#include "ui_vthcheckdialog.h"

#include "qudpthread.h"
#include "registermap.h"

#include <QColor>
#include <QPainter>
#include <QPen>
#include <QtEndian>

namespace {

// The monitor value at the register, shown in the edit; 0 (edit untouched)
// when the image does not hold it.
int monitorValue(const QByteArray &image, int address, QLineEdit *edit)
{
    if (image.size() < address + 2)
        return 0;
    const int value = qFromBigEndian<qint16>(image.constData() + address);
    edit->setText(QString::number(value));
    return value;
}

// 1.125 * a - 0.125 * b, truncated toward zero.
int bracket(int a, int b)
{
    return (9 * a - b) / 8;
}

} // namespace

VthCheckDialog::VthCheckDialog(QUdpThread *worker, int threshold, QWidget *parent)
    : QDialog(parent, Qt::WindowFlags())
{
    ui = new Ui_VthCheckDialog;
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    // Enter in an edit or the spin box must not close the dialog.
    ui->ok->setAutoDefault(false);
    ui->cancel->setAutoDefault(false);
    ui->pushButton->setAutoDefault(false);

    udp = worker;
    signalAverage = threshold;
    // Until the first initialisation everything sits at the threshold, so
    // painting, Auto Set and the edits never read an unset value.
    rangeMin = threshold;
    rangeMax = threshold;
    signalMin = threshold;
    signalMax = threshold;
}

VthCheckDialog::~VthCheckDialog()
{
    delete ui;
}

// Once per status poll: the edits follow every status, the third initialises
// the range, then every second one stores the signal and repaints.
void VthCheckDialog::setStatus()
{
    // A copy taken under the worker's lock; nothing once the worker is gone.
    const QByteArray image = udp ? udp->registers() : QByteArray();
    const int minimum = monitorValue(image, Reg::VthMonitorMin, ui->min);
    const int average = monitorValue(image, Reg::VthMonitorAverage, ui->avrg);
    const int maximum = monitorValue(image, Reg::VthMonitorMax, ui->max);

    if (updateCountdown <= -3) {
        initialise(minimum, maximum, average);
    } else if (updateCountdown != 0) {
        --updateCountdown;
    } else {
        signalMin = minimum;
        signalMax = maximum;
        signalAverage = average;
        updateCountdown = 1;
        repaint();
    }
}

void VthCheckDialog::initialise(int minimum, int maximum, int average)
{
    updateCountdown = 1;
    signalMin = minimum;
    signalMax = maximum;
    const int threshold = signalAverage;
    rangeMin = qMin(bracket(minimum, maximum), threshold);
    rangeMax = qMax(bracket(maximum, minimum), threshold);
    showRange(threshold);
    signalAverage = average;
    repaint();
}

// The slider, the edits and the spin box show the range and the threshold.
void VthCheckDialog::showRange(int threshold)
{
    ui->slider->setMinimum(rangeMin);
    ui->slider->setMaximum(rangeMax);
    ui->minEdit->setText(QString::number(rangeMin));
    ui->maxEdit->setText(QString::number(rangeMax));
    ui->spinBox->setValue(threshold);
    ui->slider->setValue(threshold);
}

void VthCheckDialog::on_slider_sliderMoved(int position)
{
    ui->spinBox->setValue(position);
}

void VthCheckDialog::on_minEdit_editingFinished()
{
    bool ok = false;
    const qint16 number = ui->minEdit->text().toShort(&ok, 10);
    if (!ok)
        return;
    int v = qMax(int(number), ui->spinBox->minimum());
    if (v < ui->slider->maximum())
        rangeMin = v;
    else
        v = rangeMin;
    ui->slider->setMinimum(v);
    ui->spinBox->setValue(ui->slider->value());
    repaint();
}

void VthCheckDialog::on_maxEdit_editingFinished()
{
    bool ok = false;
    const qint16 number = ui->maxEdit->text().toShort(&ok, 10);
    if (!ok)
        return;
    int v = qMin(int(number), ui->spinBox->maximum());
    if (v > ui->slider->minimum())
        rangeMax = v;
    else
        v = rangeMax;
    ui->slider->setMaximum(v);
    ui->spinBox->setValue(ui->slider->value());
    repaint();
}

void VthCheckDialog::on_spinBox_editingFinished()
{
    const int v = ui->spinBox->value();
    if (v < rangeMin) {
        rangeMin = v;
        ui->minEdit->setText(QString::number(v));
        ui->slider->setMinimum(v);
    }
    if (v > rangeMax) {
        rangeMax = v;
        ui->maxEdit->setText(QString::number(v));
        ui->slider->setMaximum(v);
    }
    ui->slider->setValue(v);
    repaint();
}

// Auto Set: the range brackets the stored signal, the threshold is its midpoint.
void VthCheckDialog::on_pushButton_clicked()
{
    rangeMin = bracket(signalMin, signalMax);
    rangeMax = bracket(signalMax, signalMin);
    showRange((signalMax + signalMin) / 2);
    repaint();
}

// Runs after accept(): the slider's position is the chosen threshold.
void VthCheckDialog::on_ok_clicked()
{
    ui->spinBox->setValue(ui->slider->value());
    emit setVth(qint16(ui->spinBox->value()));
}

// The threshold bar beside the slider: magenta above the signal's maximum,
// red down to the average, blue down to the minimum, cyan below it.
void VthCheckDialog::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect g = ui->slider->geometry();
    const int x = g.right() + 20;
    const int yBottom = g.bottom() + 7;
    const int height = g.bottom() - g.top() - 5;
    const int range = rangeMax - rangeMin;
    auto draw = [&](const QColor &colour, int from, int to) {
        painter.setPen(QPen(colour, 6));
        painter.drawLine(x, from, x, to);
    };

    const struct {
        int boundary;
        QColor colour;
    } steps[] = {{signalMax, Qt::magenta}, {signalAverage, Qt::red}, {signalMin, Qt::blue}};

    int y = g.top() + 13;
    int reached = rangeMax;
    for (const auto &step : steps) {
        const int d = reached - step.boundary;
        if (d <= 0)
            continue;
        if (rangeMin >= step.boundary) {
            draw(step.colour, y, yBottom);
            return;
        }
        // Here rangeMin < boundary < reached <= rangeMax, so range > 0.
        const int length = height * d / range;
        draw(step.colour, y, y + length);
        y += length;
        reached = step.boundary;
    }
    draw(Qt::cyan, y, yBottom);
}
