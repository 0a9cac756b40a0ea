// The real window with its command server on a port chosen by the system,
// the board emulator on 127.0.0.1 read in, and plain QTcpSocket clients.
#ifndef SERVERRIG_H
#define SERVERRIG_H

#include "boardemulator.h"
#include "mainwindow.h"
#include "qserversocket.h"
#include "qtcpthread.h"
#include "qudpthread.h"
#include "testsupport.h"
#include "ui_mainwindow.h"
#include "windowrig.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <atomic>
#include <memory>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

struct MainWindowAccess {
    static Ui_MainWindow *ui(MainWindow &w) { return w.ui; }
    static QUdpThread *worker(MainWindow &w) { return w.udpThread; }
    static QTcpThread *stream(MainWindow &w) { return w.tcpThread; }
    static QTcpServer *server(MainWindow &w) { return w.server; }
    static const QVector<QServerSocket *> &clients(MainWindow &w) { return w.clients; }
    static QServerSocket *current(MainWindow &w) { return w.currentClient; }
    static int waiting(MainWindow &w) { return int(w.waiting.size()); }
    static QString log(MainWindow &w) { return w.logText; }
    static QByteArray &event(MainWindow &w) { return w.eventBuffer; }
    static bool running(MainWindow &w) { return w.running; }
    static bool serverRunning(MainWindow &w) { return w.serverRunning; }
    static bool setup(MainWindow &w) { return w.setupCondition; }
    static QString errorText(MainWindow &w) { return w.errorText; }
    static void appendLog(MainWindow &w, const QString &t) { w.appendLog(t); }
    static void startServer(MainWindow &w) { w.on_serverStart_clicked(); }
};

struct QServerSocketAccess {
    static QString buffer(QServerSocket *s) { return s->lineBuffer; }
    static QTcpSocket *socket(QServerSocket *s) { return s->socket; }
    // Its next text is not handed out yet (its command waits, or the reply).
    static bool held(QServerSocket *s) { return s->busy > 0; }
    // Everything kept for it: Qt's buffer, the unfinished line, texts queued.
    static qint64 kept(QServerSocket *s)
    {
        return (s->isActive() ? s->socket->bytesAvailable() : 0) + s->lineBuffer.size() + s->pendingChars;
    }
};

namespace rig {

using A = MainWindowAccess;

inline const QByteArray Prompt("Zentrofa>");

// Stamps of log lines replaced by "<T>" so whole logs compare exactly.
inline QString unstamped(const QString &log)
{
    static const QRegularExpression stampRe(QStringLiteral("\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2} "));
    QString s = log;
    s.replace(stampRe, QStringLiteral("<T>"));
    return s;
}

struct Client {
    QTcpSocket socket;
    QByteArray in;

    bool open(quint16 port, bool greeting = true)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000))
            return false;
        return !greeting || take() == "OK:Connected\r\nZentrofa>";
    }
    void write(const QByteArray &bytes)
    {
        if (!socket.isOpen())
            return;
        socket.write(bytes);
        socket.flush();
    }
    void pull()
    {
        if (socket.isOpen())
            in += socket.readAll();
    }
    // One text reply: everything up to and including the prompt.
    QByteArray take(int timeoutMs = 10000)
    {
        (void)QTest::qWaitFor([&] { pull(); return in.contains(Prompt); }, timeoutMs);
        const int end = in.indexOf(Prompt);
        if (end < 0)
            return QByteArray();
        const QByteArray r = in.left(end + Prompt.size());
        in.remove(0, r.size());
        return r;
    }
    // A "read" reply: the word count, the data, the prompt.
    QByteArray takeRead(int timeoutMs = 10000)
    {
        auto size = [&]() -> int {
            if (in.size() < 2)
                return -1;
            const int n = quint8(in.at(0)) << 8 | quint8(in.at(1));
            return 2 + 2 * n + Prompt.size();
        };
        (void)QTest::qWaitFor([&] { pull(); return size() > 0 && in.size() >= size(); }, timeoutMs);
        const int n = size();
        if (n < 0 || in.size() < n)
            return QByteArray();
        const QByteArray r = in.left(n);
        in.remove(0, n);
        return r;
    }
    QByteArray ask(const QByteArray &line, int timeoutMs = 10000)
    {
        write(line);
        return take(timeoutMs);
    }
    // Nothing more arrives within ms.
    bool silent(int ms)
    {
        QTest::qWait(ms);
        pull();
        return in.isEmpty();
    }
    bool closed(int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { pull(); return socket.state() == QAbstractSocket::UnconnectedState; },
                               timeoutMs);
    }
};

// A client on a plain blocking socket, for use in a thread of its own: it
// sends while the window's thread is busy, as a remote script does.
struct RawClient {
    int fd = -1;
    QByteArray in;

    ~RawClient()
    {
        if (fd >= 0)
            ::close(fd);
    }
    // rcvbuf > 0 shrinks the receive buffer, so that a client that stops
    // reading holds up the server soon.
    bool open(quint16 port, int rcvbuf = 0)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            return false;
        if (rcvbuf > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    bool send(const QByteArray &bytes) { return ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size(); }
    void shutdownWrite() { ::shutdown(fd, SHUT_WR); }
    // Reads until `done` holds (it is asked at least every 20 ms), the peer
    // closes or the time is up; false on the last two.
    template<class Done> bool readUntil(Done done, int timeoutMs)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!done(in)) {
            const qint64 left = deadline.remainingTime();
            if (left <= 0)
                return false;
            pollfd p = {fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, int(qMin<qint64>(left, 20)));
            if (ready < 0)
                return false;
            if (ready == 0)
                continue;
            char buf[65536];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return false;
            in.append(buf, int(n));
        }
        return true;
    }
    bool readPrompts(int n, int timeoutMs = 10000)
    {
        return readUntil([n](const QByteArray &b) { return b.count(Prompt) >= n; }, timeoutMs);
    }
    // Everything until the server closes the connection.
    QByteArray readToEnd(int timeoutMs)
    {
        readUntil([](const QByteArray &) { return false; }, timeoutMs);
        return in;
    }
};

// Runs f in a thread of its own while this one goes on handling events;
// false when it did not end within timeoutMs (f's own waits must be bounded).
template<class F> bool inThread(F f, int timeoutMs)
{
    std::atomic<bool> done{false};
    std::thread t([&] {
        f();
        done = true;
    });
    const bool ended = QTest::qWaitFor([&] { return done.load(); }, timeoutMs);
    t.join();
    return ended;
}

struct Rig {
    explicit Rig(BoardEmulator::Options opts = BoardEmulator::Options()) : emu(opts), w(false, 1024) {}

    // Reads the emulator and starts the server on the Server tab.
    bool open(bool readBoard = true)
    {
        if (!emu.start())
            return false;
        Ui_MainWindow *u = ui();
        u->address->setText(QStringLiteral("127.0.0.1"));
        u->udp->setText(QString::number(emu.udpPort()));
        if (readBoard) {
            u->read->click();
            if (!QTest::qWaitFor([&] { return u->read->isEnabled() && u->tabWidget->isTabEnabled(4); }, 10000))
                return false;
            // Short failure paths, with room for a slow reply on a loaded machine.
            A::worker(w)->setTimeout(2);
            A::worker(w)->setRetry(1);
            u->tabWidget->setCurrentIndex(4);
        }
        u->serverPort->setValue(0);
        A::startServer(w);
        return A::serverRunning(w);
    }

    Ui_MainWindow *ui() { return A::ui(w); }
    quint16 port() { return A::server(w) ? A::server(w)->serverPort() : 0; }
    QString log() { return A::log(w); }
    int logCount(const QString &what) { return log().count(what); }

    std::unique_ptr<Client> client(bool greeting = true)
    {
        auto c = std::make_unique<Client>();
        if (!c->open(port(), greeting))
            return nullptr;
        return c;
    }

    BoardEmulator emu;
    MainWindow w;
    ModalAnswerer answerer;
};

} // namespace rig

#endif
