// Command server throughput: one TCP client on 127.0.0.1 against the real
// window (board read from the emulator). Prints "read" replies per second
// with a full event in the window, and show-form commands per second, beside
// the ceiling that the 10 ms pause after every immediate reply sets.
//
//   bench_server [replies per figure]
#include "boardemulator.h"
#include "eventblock.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

struct MainWindowAccess {
    static Ui_MainWindow *ui(MainWindow &w) { return w.ui; }
    static QTcpServer *server(MainWindow &w) { return w.server; }
    static QByteArray &event(MainWindow &w) { return w.eventBuffer; }
    static void startServer(MainWindow &w) { w.on_serverStart_clicked(); }
};

namespace {

using A = MainWindowAccess;
const QByteArray Prompt("Zentrofa>");

bool spin(const std::function<bool()> &cond, int timeoutMs)
{
    QTimer wake;
    wake.start(50);
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

[[noreturn]] void fail(const char *step)
{
    fprintf(stderr, "bench_server: %s timed out\n", step);
    exit(1);
}

void print(const char *what, int n, double seconds)
{
    printf("%-34s %6d replies %7.2f s %8.1f replies/s  %6.2f ms/reply (ceiling 100/s, 10.00 ms)\n", what, n,
           seconds, n / seconds, 1000 * seconds / n);
    fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int n = argc > 1 ? atoi(argv[1]) : 500;

    BoardEmulator emu;
    if (!emu.start())
        fail("emulator start");
    MainWindow w(false, 1024);
    Ui_MainWindow *ui = A::ui(w);
    ui->address->setText(QStringLiteral("127.0.0.1"));
    ui->udp->setText(QString::number(emu.udpPort()));
    ui->read->click();
    if (!spin([&] { return ui->read->isEnabled() && ui->tabWidget->isTabEnabled(4); }, 10000))
        fail("board read");
    ui->tabWidget->setCurrentIndex(4);
    ui->serverPort->setValue(0);
    A::startServer(w);
    if (!A::server(w))
        fail("server start");

    QTcpSocket client;
    QByteArray in;
    client.connectToHost(QHostAddress::LocalHost, A::server(w)->serverPort());
    if (!spin([&] { in += client.readAll(); return in.endsWith(Prompt); }, 5000))
        fail("greeting");
    in.clear();

    // A full event as the stream would leave it in the window.
    QByteArray block(Event::BlockSize, '\0');
    std::copy(Event::Header, Event::Header + Event::HeaderSize, block.begin());
    for (int i = Event::HeaderSize; i < block.size(); ++i)
        block[i] = char(i * 7);

    QElapsedTimer t;
    t.start();
    for (int i = 0; i < n; ++i) {
        A::event(w) = block;
        client.write("read\r\n");
        const int size = 2 + (Event::BlockSize - Event::HeaderSize) + Prompt.size();
        if (!spin([&] { in += client.readAll(); return in.size() >= size; }, 5000))
            fail("read reply");
        if (in.size() != size || !in.endsWith(Prompt) || in.at(0) != 0x40)
            fail("read reply (malformed)");
        in.clear();
    }
    print("\"read\" with a full event", n, t.nsecsElapsed() / 1e9);

    t.restart();
    for (int i = 0; i < n; ++i) {
        client.write("rate\r\n");
        if (!spin([&] { in += client.readAll(); return in.endsWith(Prompt); }, 5000))
            fail("show-form reply");
        in.clear();
    }
    print("show form (\"rate\")", n, t.nsecsElapsed() / 1e9);
    return 0;
}
