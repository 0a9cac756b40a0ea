// Acquisition throughput: the emulator on 127.0.0.1 sends blocks as fast as
// they are taken; the real window records them to a run file. Printed next
// to a plain socket-to-file copy of the same stream (rounds alternate the
// two), with the blocks sent and recorded after Stop (they must be equal);
// then the emulator's paced rates read by a plain socket; then a long run
// without recording that shows the memory staying flat.
//
//   bench_acquisition [recorded events] [events without recording] [rounds]
//
// Exits non-zero when a step times out or a recorded run lost blocks.
#include "boardemulator.h"
#include "calibrationdialog.h"
#include "graphwindow.h"
#include "qcustomplot.h"
#include "eventblock.h"
#include "mainwindow.h"
#include "registermap.h"
#include "ui_mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QStatusBar>
#include <QTabWidget>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

struct MainWindowAccess {
    static Ui_MainWindow *ui(MainWindow &w) { return w.ui; }
    static bool streaming(MainWindow &w) { return w.tcpThread != nullptr; }
};

namespace {

constexpr int Block = Event::BlockSize;

// CPU seconds per thread name, from /proc (the emulator's thread is
// "board emulator"; everything else is the program).
std::map<std::string, double> threadCpu()
{
    std::map<std::string, double> cpu;
    const double tick = double(sysconf(_SC_CLK_TCK));
    const QStringList tasks = QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &tid : tasks) {
        QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(tid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const int open = line.indexOf('('), close = line.lastIndexOf(')');
        if (open < 0 || close < 0)
            continue;
        const std::string name = line.mid(open + 1, close - open - 1).toStdString();
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        if (fields.size() < 13)
            continue;
        cpu[name] += (fields.at(11).toDouble() + fields.at(12).toDouble()) / tick; // utime, stime
    }
    return cpu;
}

double emulatorCpu(const std::map<std::string, double> &m)
{
    auto it = m.find("board emulator");
    return it == m.end() ? 0 : it->second;
}

// Context switches of the whole process (voluntary + involuntary).
long contextSwitches()
{
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_nvcsw + u.ru_nivcsw;
}

double processCpu()
{
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

long peakRssKiB()
{
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

long rssKiB()
{
    QFile f(QStringLiteral("/proc/self/statm"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> v = f.readAll().split(' ');
    return v.size() > 1 ? v.at(1).toLong() * (sysconf(_SC_PAGESIZE) / 1024) : 0;
}

struct Figures {
    qint64 events = 0;
    double seconds = 0;
    double programCpu = 0;
    double emuCpu = 0;
    long switches = 0;
    bool ok = false;
};

int failures = 0;

void fail(const char *step)
{
    fprintf(stderr, "FAILED: %s\n", step);
    fflush(stderr);
    ++failures;
}

void print(const char *what, const Figures &f)
{
    const double rate = f.events / f.seconds;
    printf("%-28s %8lld events %7.2f s %9.0f events/s %8.1f MB/s  CPU/1000 ev: program %.3f s, emulator %.3f s;"
           " %.2f context switches/ev\n",
           what, (long long)f.events, f.seconds, rate, rate * Block / 1e6,
           1000 * f.programCpu / f.events, 1000 * f.emuCpu / f.events, double(f.switches) / f.events);
    fflush(stdout);
}

// ControlRegister write through the register protocol.
bool writeControl(quint16 udpPort, quint8 value)
{
    QUdpSocket udp;
    const char packet[] = {'\xFF', '\x80', 1, 1, 0, 0, 0, char(Reg::Control), char(value)};
    udp.writeDatagram(packet, sizeof packet, QHostAddress::LocalHost, udpPort);
    return udp.waitForReadyRead(1000);
}

// Baseline: a plain socket copying the stream into a file.
Figures plainCopy(qint64 events, const QString &dir)
{
    BoardEmulator::Options opts;
    opts.recordBlocks = false;
    BoardEmulator emu(opts);
    Figures f;
    if (!emu.start())
        return f;
    QTcpSocket sock;
    sock.connectToHost(QHostAddress::LocalHost, emu.tcpPort(), QIODevice::ReadOnly);
    if (!sock.waitForConnected(2000) || !writeControl(emu.udpPort(), Reg::ControlContinuous | Reg::ControlStart)) {
        fail("plain copy: no stream");
        return f;
    }
    QFile out(dir + QStringLiteral("/plain.bin"));
    out.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    QByteArray buf(Block, 0);
    qint64 offset = 0;
    const auto cpu0 = threadCpu();
    const double p0 = processCpu();
    const long cs0 = contextSwitches();
    QElapsedTimer t;
    t.start();
    while (f.events < events) {
        if (sock.bytesAvailable() <= 0 && !sock.waitForReadyRead(2000))
            break;
        const qint64 n = sock.read(buf.data() + offset, Block - offset);
        if (n <= 0)
            break;
        offset += n;
        if (offset == Block) {
            out.write(buf);
            offset = 0;
            ++f.events;
        }
    }
    f.seconds = t.nsecsElapsed() / 1e9;
    const double e = emulatorCpu(threadCpu()) - emulatorCpu(cpu0);
    f.emuCpu = e;
    f.programCpu = processCpu() - p0 - e;
    f.switches = contextSwitches() - cs0;
    f.ok = f.events == events;
    if (!f.ok)
        fail("plain copy: the stream stalled");
    writeControl(emu.udpPort(), Reg::ControlStop);
    out.close();
    out.remove();
    return f;
}

// The emulator at a fixed rate, read by a plain socket for `seconds`.
void pacedRate(int rate, double seconds)
{
    BoardEmulator::Options opts;
    opts.recordBlocks = false;
    opts.rate = rate;
    BoardEmulator emu(opts);
    if (!emu.start()) {
        fail("paced rate: emulator did not start");
        return;
    }
    QTcpSocket sock;
    sock.connectToHost(QHostAddress::LocalHost, emu.tcpPort(), QIODevice::ReadOnly);
    if (!sock.waitForConnected(2000) || !writeControl(emu.udpPort(), Reg::ControlContinuous | Reg::ControlStart)) {
        fail("paced rate: no stream");
        return;
    }
    QByteArray buf(Block, 0);
    qint64 bytes = 0;
    QElapsedTimer t;
    t.start();
    while (t.nsecsElapsed() < qint64(seconds * 1e9)) {
        if (sock.bytesAvailable() <= 0 && !sock.waitForReadyRead(2000)) {
            fail("paced rate: the stream stalled");
            return;
        }
        const qint64 n = sock.read(buf.data(), Block);
        if (n <= 0) {
            fail("paced rate: read failed");
            return;
        }
        bytes += n;
    }
    const double elapsed = t.nsecsElapsed() / 1e9;
    writeControl(emu.udpPort(), Reg::ControlStop);
    printf("emulator --rate %-6d %9.0f events/s delivered (%.0f %%)\n", rate, bytes / double(Block) / elapsed,
           100.0 * bytes / double(Block) / elapsed / rate);
    fflush(stdout);
}

// Runs the event loop until cond holds or the time is up.
// Sleeps in the event loop between events, so the waiting costs no CPU.
bool spin(const std::function<bool()> &cond, int timeoutMs)
{
    QTimer wake;
    wake.start(100);
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

struct Session {
    explicit Session(BoardEmulator &emu) : emu(emu), w(false, 1024) {}

    bool read()
    {
        Ui_MainWindow *ui = MainWindowAccess::ui(w);
        ui->address->setText(QStringLiteral("127.0.0.1"));
        ui->udp->setText(QString::number(emu.udpPort()));
        ui->read->click();
        if (!spin([&] { return ui->read->isEnabled() && ui->tabWidget->isTabEnabled(1); }, 10000))
            return false;
        ui->tabWidget->setCurrentIndex(1);
        QObject::connect(&w, &MainWindow::newData, &w, [this](QByteArray *, int) { ++count; });
        return true;
    }

    // Starts, takes `events` blocks (with a progress line every `step`), stops.
    Figures run(qint64 events, qint64 step = 0)
    {
        Figures f;
        Ui_MainWindow *ui = MainWindowAccess::ui(w);
        count = 0;
        ui->start->click();
        if (!spin([&] { return count > 0; }, 10000)) {
            fail("window: no first event");
            return f;
        }
        const qint64 first = count;
        const auto cpu0 = threadCpu();
        const double p0 = processCpu();
        const long cs0 = contextSwitches();
        QElapsedTimer t;
        t.start();
        qint64 next = step;
        while (count < events) {
            if (!spin([&] { return count >= events || (step && count >= next); }, 20000)) {
                fail("window: the stream stalled");
                break;
            }
            if (step && count >= next) {
                printf("  %9lld events  RSS %6ld KiB  %8.0f events/s\n", (long long)count, rssKiB(),
                       (count - first) / (t.nsecsElapsed() / 1e9));
                fflush(stdout);
                next += step;
            }
        }
        f.seconds = t.nsecsElapsed() / 1e9;
        f.events = count - first;
        const double e = emulatorCpu(threadCpu()) - emulatorCpu(cpu0);
        f.emuCpu = e;
        f.programCpu = processCpu() - p0 - e;
        f.switches = contextSwitches() - cs0;
        f.ok = count >= events;
        ui->stop->click();
        if (!spin([&] { return !MainWindowAccess::streaming(w); }, 20000))
            fail("window: the stream did not end after Stop");
        total = count;
        return f;
    }

    BoardEmulator &emu;
    MainWindow w;
    qint64 count = 0;
    qint64 total = 0; // events handed on in the last run, Stop's tail included
};


// Graph windows opened from the window's New Graph button, showing all 16
// channels, in automatic mode.
QList<GraphWindow *> openGraphWindows(Session &s, int n)
{
    Ui_MainWindow *ui = MainWindowAccess::ui(s.w);
    QList<GraphWindow *> opened;
    if (!ui->graph->isEnabled())
        return opened;
    ui->lineEdit->setText(QStringLiteral(" 0-15"));
    for (int i = 0; i < n; ++i) {
        QList<GraphWindow *> before;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *g = qobject_cast<GraphWindow *>(w))
                before << g;
        ui->graph->click();
        for (QWidget *w : QApplication::topLevelWidgets()) {
            auto *g = qobject_cast<GraphWindow *>(w);
            if (g && !before.contains(g) && !opened.contains(g)) {
                if (QAction *a = g->findChild<QAction *>(QStringLiteral("actionAuto")))
                    a->trigger();
                opened << g;
            }
        }
    }
    QCoreApplication::processEvents();
    return opened;
}

void closeGraphWindows(const QList<GraphWindow *> &windows)
{
    for (GraphWindow *g : windows)
        g->close();
    // Closed windows delete themselves.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

qint64 recordedBytes(const QString &path)
{
    qint64 bytes = 0;
    QDir runs(path);
    for (const QString &d : runs.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        for (const QFileInfo &fi : QDir(runs.filePath(d)).entryInfoList(QDir::Files))
            bytes += fi.size();
    return bytes;
}

// Removes the runs recorded so far.
void removeRuns(const QString &path)
{
    QDir runs(path);
    for (const QString &d : runs.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        QDir(runs.filePath(d)).removeRecursively();
}

// One recording run, printed; keeps the best rate. False when it timed out.
bool recordRun(Session &s, qint64 events, const char *name, const QString &dir, double *best)
{
    const Figures f = s.run(events);
    if (s.count < events) {
        fprintf(stderr, "%s: timed out\n", name);
        return false;
    }
    print(name, f);
    removeRuns(dir);
    *best = std::max(*best, f.events / f.seconds);
    return true;
}

// Recording with four graph windows in automatic mode beside the same run
// without windows (alternating, twice each, best rates compared), then runs
// after 20 windows were opened and closed, with the memory those windows
// leave behind. False when a step timed out.
bool graphWindowRuns(Session &s, qint64 events)
{
    QTemporaryDir dir;
    if (!dir.isValid())
        return false;
    Ui_MainWindow *ui = MainWindowAccess::ui(s.w);
    ui->save->setChecked(true);
    ui->path->setText(dir.path());

    double without = 0, with = 0;
    qint64 redraws = 0;
    double drawSeconds = 0;
    for (int round = 0; round < 2; ++round) {
        if (!recordRun(s, events, "window, recording", dir.path(), &without))
            return false;
        const QList<GraphWindow *> four = openGraphWindows(s, 4);
        if (four.size() != 4) {
            fprintf(stderr, "graph windows did not open\n");
            return false;
        }
        for (GraphWindow *g : four)
            if (auto *plot = g->findChild<QCustomPlot *>())
                QObject::connect(plot, &QCustomPlot::afterReplot, plot, [&redraws] { ++redraws; });
        QElapsedTimer t;
        t.start();
        const bool ok = recordRun(s, events, "4 graph windows, recording", dir.path(), &with);
        drawSeconds += t.nsecsElapsed() / 1e9;
        closeGraphWindows(four);
        if (!ok)
            return false;
    }
    printf("  16 channels each, automatic update, %.1f redraws/s per window; best %.0f events/s,"
           " ratio to no windows %.2f (target >= 0.70, >= 3800 events/s)\n",
           redraws / 4.0 / drawSeconds, with, with / without);

    // Windows opened and closed one after the other: nothing of them stays behind.
    auto cycle = [&](int n) {
        for (int i = 0; i < n; ++i)
            closeGraphWindows(openGraphWindows(s, 1));
    };
    const long rss0 = rssKiB();
    cycle(20);
    const long rss20 = rssKiB();
    cycle(40);
    const long rss60 = rssKiB();
    int left = 0;
    for (QWidget *w : QApplication::topLevelWidgets())
        left += qobject_cast<GraphWindow *>(w) != nullptr;
    printf("  RSS %ld KiB; after 20 graph windows opened and closed %ld KiB, after 60 %ld KiB"
           " (%.1f KiB per window after the first 20); %d left\n",
           rss0, rss20, rss60, (rss60 - rss20) / 40.0, left);
    double closed = 0;
    for (int round = 0; round < 2; ++round)
        if (!recordRun(s, events, "after 20 closed, recording", dir.path(), &closed))
            return false;
    printf("  best %.0f events/s, ratio to no windows %.2f\n", closed, closed / without);
    ui->save->setChecked(false);
    return true;
}

} // namespace

namespace {

// A calibration run of N = 1000 through the real window and its dialog,
// timed from Run to completion. False when it does not complete in time.
bool calibrationRun(Session &s)
{
    Ui_MainWindow *ui = MainWindowAccess::ui(s.w);
    bool completed = false;
    bool closed = false;
    qint64 events = 0;
    double seconds = 0;
    QTimer::singleShot(0, [&] {
        auto *d = qobject_cast<CalibrationDialog *>(QApplication::activeModalWidget());
        if (!d)
            return;
        auto *count = d->findChild<QLineEdit *>(QStringLiteral("lineEditAverageCount"));
        auto *runButton = d->findChild<QPushButton *>(QStringLiteral("btnCalibrationRun"));
        auto *progress = d->findChild<QProgressBar *>(QStringLiteral("progressBar"));
        auto *triggers = d->findChild<QLabel *>(QStringLiteral("labelTriggerCount"));
        // Timed from the first event, so the board's start is left out.
        QElapsedTimer t;
        QObject::connect(&s.w, &MainWindow::newData, d, [&] {
            if (!t.isValid())
                t.start();
        });
        // 100 % is shown by the event that completes the run, before the stop.
        QObject::connect(progress, &QProgressBar::valueChanged, d, [&](int v) {
            if (v == 100 && !completed) {
                seconds = t.nsecsElapsed() / 1e9;
                events = triggers->text().toLongLong() - 1;
                completed = true;
            }
        });
        count->setText(QStringLiteral("1000"));
        runButton->click();
        spin([&] { return completed; }, 120000);
        spin([&] { return !MainWindowAccess::streaming(s.w); }, 10000);
        closed = d->close();
    });
    ui->calibration->click();
    if (!completed || !closed) {
        fprintf(stderr, "calibration run did not complete\n");
        return false;
    }
    printf("%-28s %8lld events %7.2f s %9.0f events/s (N = 1000)\n", "calibration run", (long long)events,
           seconds, events / seconds);
    fflush(stdout);
    return CalibrationDialog::isCalibrated();
}

// Recording with and without "Offset Correction", back to back.
bool correctionRuns(Session &s, qint64 events)
{
    QTemporaryDir dir;
    Ui_MainWindow *ui = MainWindowAccess::ui(s.w);
    if (!dir.isValid() || !ui->usingCalibration->isEnabled()) {
        fprintf(stderr, "no calibration to apply\n");
        return false;
    }
    ui->save->setChecked(true);
    ui->path->setText(dir.path());
    ui->nRun->setText(QStringLiteral("100"));
    // Alternating, twice each; the best rates are compared.
    double raw = 0, corrected = 0;
    bool ok = true;
    for (int round = 0; round < 2 && ok; ++round) {
        ui->usingCalibration->setChecked(false);
        ok = recordRun(s, events, "window, recording", dir.path(), &raw);
        ui->usingCalibration->setChecked(true);
        ok = ok && recordRun(s, events, "window, offset correction, recording", dir.path(), &corrected);
    }
    ui->usingCalibration->setChecked(false);
    ui->save->setChecked(false);
    if (!ok)
        return false;
    printf("  best %.0f events/s with offset correction; offset correction / without: %.2f (target >= 0.90)\n",
           corrected, corrected / raw);
    fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The offscreen platform's notes on every shown window are not figures.
    static const QtMessageHandler previous = qInstallMessageHandler(nullptr);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &text) {
        if (!text.startsWith(QLatin1String("This plugin does not support")))
            previous(type, context, text);
    });
    const qint64 recorded = argc > 1 ? atoll(argv[1]) : 20000;
    const qint64 free = argc > 2 ? atoll(argv[2]) : 1000000;
    const int rounds = argc > 3 ? qMax(1, atoi(argv[3])) : 1;

    QTemporaryDir dir;
    if (!dir.isValid()) {
        fprintf(stderr, "no temporary directory\n");
        return 1;
    }
    printf("block %d bytes; run files in %s (removed afterwards)\n", Block, qPrintable(dir.path()));

    BoardEmulator::Options opts;
    opts.recordBlocks = false;
    BoardEmulator emu(opts);
    if (!emu.start()) {
        fprintf(stderr, "emulator did not start\n");
        return 1;
    }
    Session s(emu);
    if (!s.read()) {
        fprintf(stderr, "board read failed\n");
        return 1;
    }
    Ui_MainWindow *ui = MainWindowAccess::ui(s.w);
    ui->save->setChecked(true);
    ui->path->setText(dir.path());

    QList<double> ratios;
    for (int round = 0; round < rounds && failures == 0; ++round) {
        const Figures plain = plainCopy(recorded, dir.path());
        print("plain socket to file", plain);
        if (!plain.ok)
            break;

        removeRuns(dir.path());
        ui->nRun->setText(QStringLiteral("0"));
        const qint64 sentBefore = emu.blocksSent();
        const Figures rec = s.run(recorded);
        print("window, recording", rec);
        if (!rec.ok)
            break;
        const qint64 sent = emu.blocksSent() - sentBefore;
        const qint64 bytes = recordedBytes(dir.path());
        const double ratio = (rec.events / rec.seconds) / (plain.events / plain.seconds);
        ratios << ratio;
        printf("  after Stop: emulator sent %lld blocks, recorded %lld blocks (%lld bytes), handed on %lld; "
               "ratio to plain copy %.2f\n",
               (long long)sent, (long long)(bytes / Block), (long long)bytes, (long long)s.total, ratio);
        fflush(stdout);
        if (bytes != sent * Block || s.total != sent)
            fail("recording: blocks sent and recorded differ");
    }
    if (!ratios.isEmpty()) {
        std::sort(ratios.begin(), ratios.end());
        printf("recording / plain copy over %lld rounds: min %.2f, median %.2f, max %.2f\n",
               (long long)ratios.size(), ratios.first(), ratios.at(ratios.size() / 2), ratios.last());
    }
    removeRuns(dir.path());

    if (failures == 0) {
        for (int rate : {1000, 3800, 10000})
            pacedRate(rate, 2.0);
    }

    if (failures == 0 && free > 0) {
        ui->save->setChecked(false);
        printf("without recording, RSS every %lld events:\n", (long long)(free / 10));
        const Figures flat = s.run(free, free / 10);
        print("window, not recording", flat);
        printf("peak RSS %ld KiB\n", peakRssKiB());
    }
    if (failures == 0 && !graphWindowRuns(s, recorded))
        fail("graph window runs");
    if (failures == 0 && (!calibrationRun(s) || !correctionRuns(s, recorded)))
        fail("calibration runs");
    if (failures) {
        fprintf(stderr, "%d step(s) failed\n", failures);
        return 2;
    }
    return 0;
}
