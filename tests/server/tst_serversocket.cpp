// One client connection on its own: line framing of the byte stream, the
// "quit" farewell, send failures, the length cap and dispose.
#include "qserversocket.h"
#include "testsupport.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <memory>

struct QServerSocketAccess {
    static QString buffer(QServerSocket *s) { return s->lineBuffer; }
};

namespace {

// A listening server, one connected peer and the QServerSocket wrapping
// the accepted side.
struct Pair {
    QTcpServer server;
    QTcpSocket peer;
    QPointer<QTcpSocket> accepted;
    QPointer<QServerSocket> conn;
    std::unique_ptr<QSignalSpy> lines, errors, gone;

    bool open(quint64 id = 7)
    {
        if (!server.listen(QHostAddress::LocalHost, 0))
            return false;
        peer.connectToHost(QHostAddress::LocalHost, server.serverPort());
        if (!QTest::qWaitFor([&] { return server.hasPendingConnections(); }, 5000))
            return false;
        accepted = server.nextPendingConnection();
        conn = new QServerSocket(id, accepted, &server);
        lines = std::make_unique<QSignalSpy>(conn.data(), &QServerSocket::received);
        errors = std::make_unique<QSignalSpy>(conn.data(), &QServerSocket::strErr);
        gone = std::make_unique<QSignalSpy>(conn.data(), &QServerSocket::disconnected);
        return QTest::qWaitFor([&] { return peer.state() == QAbstractSocket::ConnectedState; }, 5000);
    }
    void write(const QByteArray &b)
    {
        peer.write(b);
        peer.flush();
    }
    // The chunk has been read when the buffer shows it.
    bool buffered(const QString &text)
    {
        return QTest::qWaitFor([&] { return conn && QServerSocketAccess::buffer(conn) == text; }, 5000);
    }
    QString line(int i) { return lines->at(i).at(0).toString(); }
};

} // namespace

class TestServerSocket : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { installFailOnWarnings(); }

    void lineAcrossChunks()
    {
        Pair p;
        QVERIFY(p.open());
        QVERIFY(!QServerSocketAccess::buffer(p.conn).isNull());
        QVERIFY(QServerSocketAccess::buffer(p.conn).isEmpty());
        p.write("read");
        QVERIFY(p.buffered(QStringLiteral("read")));
        QCOMPARE(p.lines->count(), 0);
        p.write("\r\n");
        QTRY_COMPARE(p.lines->count(), 1);
        QCOMPARE(p.line(0), QStringLiteral("read\r\n"));
        QVERIFY(QServerSocketAccess::buffer(p.conn).isNull());
    }

    void lineEndSplitOverChunks()
    {
        Pair p;
        QVERIFY(p.open());
        p.write("help\r");
        QTRY_COMPARE(p.lines->count(), 1);
        QCOMPARE(p.line(0), QStringLiteral("help\r"));
        p.write("\n");
        QTRY_COMPARE(p.lines->count(), 2);
        QCOMPARE(p.line(1), QStringLiteral("\n"));
        p.write("help\r");
        QTRY_COMPARE(p.lines->count(), 3);
        p.write("\nhelp\r\n");
        QTRY_COMPARE(p.lines->count(), 4);
        QCOMPARE(p.line(3), QStringLiteral("\nhelp\r\n"));
    }

    void twoLinesInOneChunk()
    {
        Pair p;
        QVERIFY(p.open());
        p.write("help\r\nquit\r\n");
        QTRY_COMPARE(p.lines->count(), 1);
        QCOMPARE(p.line(0), QStringLiteral("help\r\nquit\r\n"));
        QTest::qWait(100);
        QCOMPARE(p.gone->count(), 0);
        QCOMPARE(p.peer.state(), QAbstractSocket::ConnectedState);
        QVERIFY(p.peer.readAll().isEmpty());
    }

    void nulCutsTheChunk()
    {
        Pair p;
        QVERIFY(p.open());
        p.write(QByteArray("re\0ad\r\n", 7));
        QVERIFY(p.buffered(QStringLiteral("re")));
        p.write(QByteArray("\0\r\n", 3));
        QTest::qWait(50);
        QCOMPARE(p.lines->count(), 0);
        p.write("ad\r\n");
        QTRY_COMPARE(p.lines->count(), 1);
        QCOMPARE(p.line(0), QStringLiteral("read\r\n"));
        // 8-bit text comes through as Latin-1.
        p.write("\xff\xe9\n");
        QTRY_COMPARE(p.lines->count(), 2);
        QCOMPARE(p.line(1), QString::fromLatin1("\xff\xe9\n"));
    }

    void quitVariants_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("closes");
        QTest::newRow("plain") << QByteArray("quit\r\n") << true;
        QTest::newRow("cr") << QByteArray("quit\r") << true;
        QTest::newRow("lf") << QByteArray("quit\n") << true;
        QTest::newRow("more words") << QByteArray("quit now please\r\n") << true;
        QTest::newRow("blanks") << QByteArray("  quit   \r\n") << true;
        QTest::newRow("capitals") << QByteArray("QUIT\r\n") << false;
        QTest::newRow("glued") << QByteArray("quitnow\r\n") << false;
        QTest::newRow("tab") << QByteArray("quit\t\r\n") << false;
    }
    void quitVariants()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, closes);
        Pair p;
        QVERIFY(p.open());
        QPointer<QTcpSocket> socket = p.accepted;
        p.write(line);
        QTRY_COMPARE(p.lines->count(), 1);
        if (closes) {
            QTRY_VERIFY(p.peer.state() == QAbstractSocket::UnconnectedState || p.peer.bytesAvailable() >= 10);
            QTRY_COMPARE(p.peer.state(), QAbstractSocket::UnconnectedState);
            QCOMPARE(p.peer.readAll(), QByteArray("Bye-Bye!\r\n"));
            QCOMPARE(p.gone->count(), 1);
            // Both objects are released once the event loop turns.
            QTRY_VERIFY(p.conn.isNull());
            QTRY_VERIFY(socket.isNull());
        } else {
            QTest::qWait(100);
            QCOMPARE(p.gone->count(), 0);
            QVERIFY(p.peer.readAll().isEmpty());
        }
    }

    void disposeOnce()
    {
        Pair p;
        QVERIFY(p.open());
        QPointer<QTcpSocket> socket = p.accepted;
        p.conn->dispose();
        QVERIFY(!p.conn->isActive());
        p.conn->dispose(true);
        p.conn->dispose(false);
        QCOMPARE(p.gone->count(), 1);
        QTRY_COMPARE(p.peer.state(), QAbstractSocket::UnconnectedState);
        QTRY_VERIFY(p.conn.isNull());
        QTRY_VERIFY(socket.isNull());

        // Without the signal, also when the peer goes afterwards.
        Pair q;
        QVERIFY(q.open());
        q.conn->dispose(false);
        q.peer.abort();
        QTest::qWait(50);
        QCOMPARE(q.gone->count(), 0);
        QTRY_VERIFY(q.conn.isNull());
    }

    void peerCloses()
    {
        Pair p;
        QVERIFY(p.open());
        p.write("unfinished");
        QVERIFY(p.buffered(QStringLiteral("unfinished")));
        p.peer.disconnectFromHost();
        QTRY_COMPARE(p.gone->count(), 1);
        QCOMPARE(p.lines->count(), 0);
        QTRY_VERIFY(p.conn.isNull());
    }

    void sendOnClosedConnection()
    {
        Pair p;
        QVERIFY(p.open(42));
        p.conn->dispose(false);
        p.conn->send("late\r\n");
        QCOMPARE(p.errors->count(), 2);
        QCOMPARE(p.errors->at(0).at(0).toString(), QStringLiteral("Failed to send to Client 42\n"));
        QCOMPARE(p.gone->count(), 0);
    }

    // A peer that reads nothing: the reply cannot be written within the
    // wait, the failure is reported once per step and the client closed.
    void peerStopsReading()
    {
        Pair p;
        QVERIFY(p.open(3));
        p.peer.setReadBufferSize(1);
        const QByteArray big(64 * 1024 * 1024, 'x');
        p.conn->send(big);
        QVERIFY(p.errors->count() >= 1);
        QCOMPARE(p.errors->at(0).at(0).toString(), QStringLiteral("Failed to send to Client 3\n"));
        QCOMPARE(p.gone->count(), 1);
        QTRY_VERIFY(p.conn.isNull());
    }

    void overlongLineCloses()
    {
        Pair p;
        QVERIFY(p.open(5));
        const QByteArray chunk(16 * 1024, 'a');
        for (int i = 0; i < 5 && p.gone->count() == 0; ++i) {
            p.write(chunk);
            QTest::qWait(20);
        }
        QTRY_COMPARE(p.gone->count(), 1);
        QCOMPARE(p.lines->count(), 0);
        QCOMPARE(p.errors->count(), 1);
        QCOMPARE(p.errors->at(0).at(0).toString(),
                 QStringLiteral("Command too long from Client 5 (over 65536 bytes)\n"));
        QTRY_COMPARE(p.peer.state(), QAbstractSocket::UnconnectedState);

        // The cap counts the text, not its line end: 64 KiB is still one
        // command (also when its CR ends a full read), one character more is
        // not.
        for (const int length : {65535, 65536, 65537}) {
            Pair q;
            QVERIFY(q.open());
            q.write(QByteArray(length, 'b') + "\r\n");
            if (length <= 65536) {
                QTRY_COMPARE(q.lines->count(), 1);
                QCOMPARE(q.line(0).size(), length + 2);
                QTest::qWait(100);
                QCOMPARE(q.lines->count(), 1);
                QCOMPARE(q.gone->count(), 0);
            } else {
                QTRY_COMPARE(q.gone->count(), 1);
                QCOMPARE(q.lines->count(), 0);
            }
        }
    }
};

QTEST_MAIN(TestServerSocket)
#include "tst_serversocket.moc"
