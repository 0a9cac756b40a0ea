#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "qudpthread.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QStatusBar>
#include <QTimer>

namespace {

// A run that is never cut short: it writes the board.
bool longRun(int mode)
{
    return mode == QUdpThread::ModeFlush || mode == QUdpThread::ModeSaveRom || mode == QUdpThread::ModeWriteNetwork;
}

// A run that writes the board's EEPROM or network settings, and what the
// status line says while it goes.
QString writingText(int mode)
{
    if (mode == QUdpThread::ModeSaveRom)
        return QStringLiteral(" saving to EEPROM...");
    if (mode == QUdpThread::ModeWriteNetwork)
        return QStringLiteral(" writing the network settings...");
    return QString();
}

} // namespace

// Starts a worker run, counted as going until the window has handled its
// end. A run still finishing (its report has arrived, its end not yet) would
// swallow the start, so it is waited for first; callers never meet a long
// run here (what would wait for it).
quint64 MainWindow::startWorker(int mode)
{
    if (!udpThread)
        return 0;
    udpThread->stop();
    udpThread->mode = mode;
    const quint64 serial = ++lastRunSerial;
    workerRuns.append({serial, mode});
    const QString text = writingText(mode);
    if (!text.isEmpty() && !closeWhenDone)
        statusBar()->showMessage(text);
    udpThread->start(QThread::InheritPriority);
    return serial;
}

// Ends the worker's current run before a job of the window's own: a start
// while it runs would be lost, and the end of the run would drop the writes
// queued meanwhile. Only a read or a poll is ever cut short here (a long run
// makes the job wait, see whenWorkerFree). The run's signals still queued
// for the window are handled first; a link error among them discards the
// worker: false then.
bool MainWindow::endWorkerRun()
{
    QPointer<QUdpThread> worker = udpThread;
    if (!worker)
        return false;
    worker->stop();
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    return worker && worker == udpThread;
}

// Ends a poll or read still going before writes are queued, as its end
// would drop them.
void MainWindow::settleWorker()
{
    if (udpThread && !workerBusy())
        udpThread->stop();
}

// A flush, EEPROM save or network write has been started and its end not
// handled yet.
bool MainWindow::workerBusy() const
{
    for (const WorkerRun &run : workerRuns)
        if (longRun(run.mode))
            return true;
    return false;
}

// An EEPROM save or network write is going.
bool MainWindow::workerWriting() const
{
    for (const WorkerRun &run : workerRuns)
        if (!writingText(run.mode).isEmpty())
            return true;
    return false;
}

// The oldest run the window counts has ended (runs end in the order they
// were started). What waited for it follows from the event loop.
void MainWindow::workerRunEnded(bool ok)
{
    if (workerRuns.isEmpty())
        return;
    const WorkerRun run = workerRuns.takeFirst();
    const QString text = writingText(run.mode);
    if (!text.isEmpty() && statusBar()->currentMessage() == text)
        statusBar()->clearMessage();
    serverRunEnded(run.serial, ok);
    resumeWaiting();
}

// The worker has gone (a link error, or another board read): every run the
// window counted is over, and a reply waiting for one of them is dropped.
void MainWindow::forgetWorkerRuns()
{
    while (!workerRuns.isEmpty())
        workerRunEnded(false);
}

// Runs a job that needs the worker now, or once the long run going on (and
// whatever waits before it) is over. The window goes on meanwhile, but its
// tabs stay locked until the job has run: nothing else may queue writes
// that the run's end would drop, nor ask for the worker again.
void MainWindow::whenWorkerFree(std::function<void()> job, int kind)
{
    if (closeWhenDone)
        return; // closing: nothing new starts
    if (!workerBusy() && waiting.isEmpty()) {
        job();
        return;
    }
    if (kind == WaitTabJob) {
        // The tab shown when it runs decides: one such job is enough.
        for (const Waiting &w : std::as_const(waiting))
            if (w.kind == WaitTabJob)
                return;
    }
    waiting.append({WaitKind(kind), [this] { return workerBusy(); }, std::move(job)});
    ui->tabWidget->setEnabled(false);
}

// An EEPROM save or network write is going, or confirmed and waiting.
bool MainWindow::writePending() const
{
    for (const Waiting &w : waiting)
        if (w.kind == WaitWriteJob)
            return true;
    return workerWriting();
}

void MainWindow::resumeWaiting()
{
    if (waitingPosted)
        return;
    waitingPosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            waitingPosted = false;
            runWaiting();
        },
        Qt::QueuedConnection);
}

// What waited, in order, until one has to wait again. One at a time: a job
// that opens a box must not be overtaken by the next one.
void MainWindow::runWaiting()
{
    if (waitingRunning)
        return;
    waitingRunning = true;
    while (!waiting.isEmpty() && !waiting.first().blocked()) {
        const Waiting next = waiting.takeFirst();
        next.run();
    }
    waitingRunning = false;
    if (closeWhenDone) {
        // Closing once the last write to the board has ended.
        if (!writePending())
            QTimer::singleShot(0, this, [this] { close(); });
        return;
    }
    for (const Waiting &w : std::as_const(waiting))
        if (w.kind != WaitCommand)
            return;
    ui->tabWidget->setEnabled(true);
}

// A window job that waited found no worker: the link failed meanwhile.
void MainWindow::notDone(const QString &what)
{
    statusBar()->showMessage(QLatin1Char(' ') + what + tr(": the board link was lost"));
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // An EEPROM page or network settings cut short would leave the board
    // with a mixed page (the boot page, if that is the one saved) and its
    // EEPROM gate open, or with its write protect cancelled: the run, and
    // one the operator has confirmed that waits, is let finish, and the
    // window closes by itself then (after the link error's box, should the
    // run fail).
    if (udpThread && writePending()) {
        event->ignore();
        if (!closeWhenDone) {
            closeWhenDone = true;
            dropWindowJobs(true);
            ui->tabWidget->setEnabled(false);
            statusBar()->showMessage(tr(" finishing the write to the board, then closing..."));
        }
        return;
    }
    // Nothing waiting runs against a closing window.
    dropWindowJobs(false);
    emit closeWindow();
    event->accept();
}

// Forgets the window jobs that wait (clients' commands stay), the
// confirmed writes too unless they are kept.
void MainWindow::dropWindowJobs(bool keepWrites)
{
    waiting.removeIf([keepWrites](const Waiting &w) {
        return w.kind != WaitCommand && !(keepWrites && w.kind == WaitWriteJob);
    });
}
