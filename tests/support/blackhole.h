// A loopback listener whose accept queue is full: further connections to it
// stay in their connect phase until the connecting side gives up.
#ifndef BLACKHOLE_H
#define BLACKHOLE_H

#include <QTcpSocket>
#include <memory>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

struct BlackHole {
    BlackHole()
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), len) != 0 || ::listen(fd, 0) != 0
            || ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            return;
        port = ntohs(a.sin_port);
        for (int i = 0; i < 8; ++i) {
            auto s = std::make_unique<QTcpSocket>();
            s->connectToHost(QStringLiteral("127.0.0.1"), port);
            const bool ok = s->waitForConnected(300);
            fillers.push_back(std::move(s));
            if (!ok) {
                full = true;
                return;
            }
        }
    }
    ~BlackHole()
    {
        fillers.clear();
        if (fd >= 0)
            ::close(fd);
    }

    int fd = -1;
    quint16 port = 0;
    bool full = false;
    std::vector<std::unique_ptr<QTcpSocket>> fillers;
};

#endif
