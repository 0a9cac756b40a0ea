#include "boardemulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &c, 1);
}

bool parsePort(const QString &text, quint16 *port)
{
    bool ok = false;
    const uint v = text.toUInt(&ok);
    if (!ok || v > 65535)
        return false;
    *port = quint16(v);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("board-emulator"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Digitizer board emulator on 127.0.0.1"));
    parser.addHelpOption();
    const QCommandLineOption udpOption(QStringLiteral("udp-port"), QStringLiteral("UDP register port (0 = any free port)."), QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption tcpOption(QStringLiteral("tcp-port"), QStringLiteral("TCP event stream port (0 = any free port)."), QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption rateOption(QStringLiteral("rate"), QStringLiteral("Events per second in continuous mode (0 = as fast as read)."), QStringLiteral("R"), QStringLiteral("0"));
    const QCommandLineOption seedOption(QStringLiteral("seed"), QStringLiteral("Seed of the waveforms."), QStringLiteral("S"), QStringLiteral("1"));
    parser.addOptions({udpOption, tcpOption, rateOption, seedOption});
    parser.process(app);

    BoardEmulator::Options opts;
    bool ok = true;
    ok = parsePort(parser.value(udpOption), &opts.udpPort) && ok;
    ok = parsePort(parser.value(tcpOption), &opts.tcpPort) && ok;
    bool rateOk = false, seedOk = false;
    opts.rate = parser.value(rateOption).toInt(&rateOk);
    opts.seed = parser.value(seedOption).toUInt(&seedOk);
    if (!ok || !rateOk || !seedOk || opts.rate < 0) {
        fprintf(stderr, "board emulator: invalid option value\n");
        return 2;
    }
    opts.recordBlocks = false; // a long run would keep every block

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) {
        perror("board emulator: socketpair");
        return 1;
    }
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [] {
        char c;
        [[maybe_unused]] ssize_t n = ::read(signalPipe[0], &c, 1);
        QCoreApplication::quit();
    });
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    BoardEmulator emulator(opts);
    if (!emulator.start()) {
        fprintf(stderr, "board emulator: cannot bind 127.0.0.1 UDP port %u / TCP port %u\n", opts.udpPort, opts.tcpPort);
        return 1;
    }
    printf("board emulator: address 127.0.0.1 UDP port %u TCP port %u\n", emulator.udpPort(), emulator.tcpPort());
    fflush(stdout);

    const int rc = app.exec();
    emulator.stop();
    return rc;
}
