#include "graphwindow.h"
#include "ui_graphwindow.h"

#include "eventblock.h"
#include "qcustomplot.h"
#include "registermap.h"

#include <QCoreApplication>
#include <QDir>
#include <QtEndian>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStatusBar>
#include <QTextStream>
#include <QTimer>
#include <QVector>

namespace {

// Automatic updates redraw at most once per frame, the newest event. A
// frame is 30 ms, longer (up to a second) when drawing would otherwise take
// more than a tenth of the GUI thread's time over all automatic windows
// together: the stream reader waits for the GUI thread before it takes the
// next block.
constexpr int FrameMs = 30;
constexpr int MaxFrameMs = 1000;
constexpr int DrawShare = 10;

int automaticWindows = 0;

int rateOf(int code)
{
    return Reg::SamplesPerNs[code & Reg::SamplingCodeMask];
}

// The words shown: all of them in T0 mode, else sample words 1 to 1022.
int firstWord(bool useT0)
{
    return useT0 ? 0 : 1;
}

int wordCount(bool useT0)
{
    return useT0 ? Event::Words : Event::Words - 2;
}

} // namespace

// The images live in a static library; this pulls them in.
static void initImages()
{
    Q_INIT_RESOURCE(images);
}

GraphWindow::GraphWindow(bool useT0, QWidget *parent)
    : QMainWindow(parent)
{
    initImages();
    ui = new Ui_GraphWindow;
    ui->setupUi(this);
    // Nothing reopens a closed window: release it with its plot and connections.
    setAttribute(Qt::WA_DeleteOnClose);

    setGeometry(400, 250, 500, 400);
    ui->customPlot->setGeometry(0, 0, 500, 400);
    ui->customPlot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom | QCP::iSelectPlottables);
    ui->customPlot->xAxis->setLabel(QStringLiteral("T[ns]"));

    timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &GraphWindow::tick);

    frameTimer = new QTimer(this);
    frameTimer->setSingleShot(true);
    connect(frameTimer, &QTimer::timeout, this, &GraphWindow::paintLatest);

    this->useT0 = useT0;
}

GraphWindow::~GraphWindow()
{
    if (countedAutomatic)
        --automaticWindows;
    delete ui;
}

void GraphWindow::initPlot(const QString *title, const QByteArray *event, int samplingCode)
{
    if (title)
        setWindowTitle(*title);
    graphsNeeded = true;
    if (event && event->size() >= Event::BlockSize)
        shownEvent = *event;
    else
        shownEvent.clear();
    this->samplingCode = samplingCode;
    widenRange(shownEvent);
    draw();
    statusBar()->showMessage(tr(" data hold"));
}

// Lower and upper end of the selected samples, as the y range counts them.
static void spread(const QByteArray &event, const bool channelOn[16], int first, int n, double *min,
                   double *max)
{
    const uchar *block = reinterpret_cast<const uchar *>(event.constData());
    // Kept in 16 bits so that the loop vectorizes: it runs for every event.
    qint16 lo = 4095, hi = -4095;
    for (int c = 0; c < Event::Channels; ++c) {
        if (!channelOn[c])
            continue;
        const uchar *p = block + Event::wordOffset(c, first);
        for (int i = 0; i < n; ++i) {
            const qint16 v = qFromBigEndian<qint16>(p + 2 * i);
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
        }
    }
    *min = lo;
    *max = hi;
}

// The y range only ever widens: by a quarter of the event's spread beyond
// an end that the event passes.
static void widen(double min, double max, double *lower, double *upper)
{
    const double margin = max - min > 0 ? 0.25 * (max - min) : 10.0;
    if (*lower > min)
        *lower = min - margin;
    if (max > *upper)
        *upper = max + margin;
}

void GraphWindow::widenRange(const QByteArray &event)
{
    if (event.size() < Event::BlockSize)
        return;
    double min = 4095.0, max = -4095.0;
    spread(event, channelOn, firstWord(useT0), wordCount(useT0), &min, &max);
    widen(min, max, &yLower, &yUpper);
}

void GraphWindow::drawGraphs(QCustomPlot *plot, const QByteArray *event)
{
    const int n = wordCount(useT0);
    const int first = firstWord(useT0);
    const int rate = rateOf(samplingCode);

    // A short buffer is no event: only the axes are set.
    if (event && event->size() >= Event::BlockSize) {
        QVector<double> x(n), y(n);
        for (int i = 0; i < n; ++i)
            x[i] = double(i + first) / rate;

        const uchar *block = reinterpret_cast<const uchar *>(event->constData());
        // The graphs are made once; a window whose first event was missing makes them now.
        const bool create = graphsNeeded || plot->graphCount() == 0;
        int g = 0;
        for (int c = 0; c < Event::Channels; ++c) {
            const int hue = 20 * c;
            if (!channelOn[c])
                continue;
            if (create) {
                plot->addGraph();
                plot->graph(g)->setPen(QPen(QColor::fromHsv(hue, 255, 255, 255)));
            }
            for (int i = 0; i < n; ++i)
                y[i] = Event::word(block, c, i + first);
            plot->graph(g)->setData(x, y, true);
            ++g;
        }
    }

    plot->xAxis->setRange(0.0, double(Event::Words / rate));
    plot->yAxis->setRange(yLower, yUpper);
}

// Draws shownEvent now; the y range has already taken it in.
void GraphWindow::draw()
{
    dirty = false;
    frameTimer->stop();
    QElapsedTimer cost;
    cost.start();
    drawGraphs(ui->customPlot, &shownEvent);
    ui->customPlot->replot(QCustomPlot::rpRefreshHint);
    // Smoothed over a few frames.
    drawCostUs = (3 * drawCostUs + cost.nsecsElapsed() / 1000) / 4;
    lastDraw.start();
}

void GraphWindow::paintLatest()
{
    if (dirty)
        draw();
}

void GraphWindow::closeWindow()
{
    close();
}

void GraphWindow::tick()
{
    statusBar()->showMessage(tr(" waiting data"));
}

void GraphWindow::replot(QByteArray *data, int sampling)
{
    if (!autoUpdate) {
        pendingEvent = data;
        pendingOwner = sender();
        pendingFromSender = pendingOwner != nullptr;
        pendingSamplingCode = sampling;
        if (ui->actionManual->isChecked())
            ui->actionUpdate->setEnabled(true);
        return;
    }
    statusBar()->showMessage(tr(" data update"));
    timer->start(2000);
    pendingEvent = nullptr;
    if (!data || data->size() < Event::BlockSize)
        return;
    graphsNeeded = false;
    shownEvent = *data;
    samplingCode = sampling;
    // Every event counts for the y range; the picture shows the newest
    // event once per frame.
    widenRange(shownEvent);
    dirty = true;
    if (frameTimer->isActive())
        return;
    const qint64 frame = qBound(qint64(FrameMs), drawCostUs * automaticWindows * DrawShare / 1000, qint64(MaxFrameMs));
    const qint64 since = lastDraw.isValid() ? lastDraw.elapsed() : frame;
    if (since >= frame)
        draw();
    else
        frameTimer->start(int(frame - since));
}

void GraphWindow::waitData()
{
    ui->actionUpdate->setEnabled(false);
}

void GraphWindow::on_actionClose_triggered()
{
    close();
}

void GraphWindow::on_actionSave_triggered()
{
    QString fileName = QFileDialog::getSaveFileName(this, tr("Save data to CSV file"), QDir::currentPath(),
                                                    tr("CSV Files (*.csv);;All Files (*.*)"));
    fileName = QDir::toNativeSeparators(fileName);
    if (fileName.isEmpty())
        return;
    // The picture and the file show the same event.
    if (dirty)
        draw();
    saveCsv(fileName);
}

bool GraphWindow::saveCsv(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        QMessageBox::warning(this, QCoreApplication::applicationName(),
                             tr("Cannot open file for saving: %1.").arg(file.errorString()), QMessageBox::Ok);
        return false;
    }
    QByteArray text;
    {
        QTextStream out(&text, QIODevice::WriteOnly);
        const int rate = rateOf(samplingCode);
        out << "T[ns],";
        for (int c = 0; c < Event::Channels; ++c)
            if (channelOn[c])
                out << "ch" << c << ",";
        out << "\n";
        // Without a whole event there is nothing to tabulate.
        if (shownEvent.size() >= Event::BlockSize) {
            const uchar *block = reinterpret_cast<const uchar *>(shownEvent.constData());
            const int first = firstWord(useT0);
            for (int k = first; k < first + wordCount(useT0); ++k) {
                out << double(k) / rate << ",";
                for (int c = 0; c < Event::Channels; ++c)
                    if (channelOn[c])
                        out << Event::word(block, c, k) << ",";
                out << "\n";
            }
        }
    }
    qint64 written = file.write(text);
    if (written >= 0 && written < text.size()) {
        // A short write carries no error: the rest either goes now or says why not.
        const qint64 more = file.write(text.constData() + written, text.size() - written);
        if (more > 0)
            written += more;
    }
    if (written == text.size() && file.flush()) {
        file.close();
        if (file.error() == QFileDevice::NoError)
            return true;
    }
    // A full disk or a size limit: no half-written file stays behind.
    const QString reason = file.errorString();
    file.close();
    if (QFileInfo(fileName).isFile())
        QFile::remove(fileName);
    QMessageBox::warning(this, QCoreApplication::applicationName(),
                         tr("Cannot write %1: %2.").arg(fileName, reason), QMessageBox::Ok);
    return false;
}

void GraphWindow::on_actionManual_toggled(bool on)
{
    autoUpdate = !on;
    ui->actionAuto->setChecked(!on);
    ui->actionSave->setEnabled(on);
    enableUpdate(on);
    setAutoUpdate(!on);
}

void GraphWindow::on_actionAuto_toggled(bool on)
{
    autoUpdate = on;
    ui->actionManual->setChecked(!on);
    ui->actionSave->setEnabled(!on);
    enableUpdate(!on);
    setAutoUpdate(on);
}

void GraphWindow::on_actionUpdate_triggered()
{
    if (!pendingEvent)
        return;
    // The buffer belongs to the sender; once it has gone, so has the event.
    if (!pendingOwner && pendingFromSender) {
        pendingEvent = nullptr;
        return;
    }
    // The main window empties its buffer when it arms a new acquisition.
    if (pendingEvent->size() < Event::BlockSize)
        return;
    ui->actionUpdate->setEnabled(false);
    graphsNeeded = false;
    shownEvent = *pendingEvent;
    pendingEvent = nullptr;
    samplingCode = pendingSamplingCode;
    widenRange(shownEvent);
    draw();
}

void GraphWindow::setAutoUpdate(bool on)
{
    if (on != countedAutomatic) {
        automaticWindows += on ? 1 : -1;
        countedAutomatic = on;
    }
    if (on) {
        on_actionUpdate_triggered();
        statusBar()->showMessage(tr(" waiting data"));
    } else {
        timer->stop();
        // The held picture is the newest event.
        if (dirty)
            draw();
        statusBar()->showMessage(tr(" data hold"));
    }
}

void GraphWindow::enableUpdate(bool on)
{
    ui->actionUpdate->setEnabled(on && pendingEvent != nullptr);
}
