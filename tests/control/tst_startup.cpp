// Command-line options and the main window's state right after construction.
#include "mainwindow.h"
#include "options.h"
#include "testsupport.h"
#include "ui_mainwindow.h"

#include <QFile>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryFile>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <climits>
#include <cstdio>
#include <unistd.h>

struct MainWindowAccess {
    static qint64 fileSizeLimit(MainWindow &w) { return w.fileSizeLimit; }
    static bool useT0(MainWindow &w) { return w.useT0; }
    static QTimer *timer(MainWindow &w) { return w.timer; }
    static QString ipAddress(MainWindow &w) { return w.ipAddress; }
    static quint16 udpPort(MainWindow &w) { return w.udpPort; }
    static bool idle(MainWindow &w)
    {
        return !w.tcpThread && !w.udpThread && !w.server && !w.runFile && !w.serverRunning
            && !w.continuousMode && !w.running && w.calibrationMode == 0 && w.nextClientId == 0;
    }
};

namespace {

// Runs the option parser on the given words with standard output captured.
struct Parsed {
    Options opts;
    QByteArray out;
};

Parsed parse(QStringList words)
{
    words.prepend(QStringLiteral("digitizer"));
    QList<QByteArray> bytes;
    for (const QString &w : words)
        bytes << w.toLocal8Bit();
    QVector<char *> argv;
    for (QByteArray &b : bytes)
        argv << b.data();
    argv << nullptr;

    QTemporaryFile capture;
    capture.open();
    fflush(stdout);
    int saved = dup(fileno(stdout));
    dup2(capture.handle(), fileno(stdout));
    Parsed p;
    p.opts = parseOptions(argv.size() - 1, argv.data());
    fflush(stdout);
    dup2(saved, fileno(stdout));
    close(saved);
    capture.seek(0);
    p.out = capture.readAll();
    return p;
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { installFailOnWarnings(); }

    void options_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("useT0");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QByteArray>("out");
        const QByteArray line("use t=0\n");
        QTest::newRow("none") << QStringList() << false << 1024 << QByteArray();
        QTest::newRow("-t 0") << QStringList{"-t", "0"} << true << 1024 << line;
        QTest::newRow("-t x") << QStringList{"-t", "x"} << true << 1024 << line;
        QTest::newRow("-t 0x0") << QStringList{"-t", "0x0"} << true << 1024 << line;
        QTest::newRow("-t0") << QStringList{"-t0"} << true << 1024 << line;
        QTest::newRow("-t 1") << QStringList{"-t", "1"} << false << 1024 << QByteArray();
        QTest::newRow("-t 0 -t 0") << QStringList{"-t", "0", "-t", "0"} << true << 1024 << line + line;
        QTest::newRow("-l 0x10") << QStringList{"-l", "0x10"} << false << 16 << QByteArray();
        QTest::newRow("-l 010") << QStringList{"-l", "010"} << false << 8 << QByteArray();
        QTest::newRow("-l 1") << QStringList{"-l", "1"} << false << 1 << QByteArray();
        QTest::newRow("-l 0") << QStringList{"-l", "0"} << false << 1024 << QByteArray();
        QTest::newRow("-l -5") << QStringList{"-l", "-5"} << false << 1024 << QByteArray();
        QTest::newRow("-l abc") << QStringList{"-l", "abc"} << false << 1024 << QByteArray();
        QTest::newRow("-l 4096") << QStringList{"-l", "4096"} << false << 4096 << QByteArray();
        QTest::newRow("-l huge") << QStringList{"-l", "99999999999999999999999"} << false << INT_MAX << QByteArray();
        QTest::newRow("-l above int") << QStringList{"-l", "4294967296"} << false << INT_MAX << QByteArray();
        QTest::newRow("both") << QStringList{"-l", "2", "-t", "0"} << true << 2 << line;
        QTest::newRow("unknown option goes on") << QStringList{"-x", "-l", "3"} << false << 3 << QByteArray();
        QTest::newRow("missing value") << QStringList{"-l"} << false << 1024 << QByteArray();
    }

    void options()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, useT0);
        QFETCH(int, limit);
        QFETCH(QByteArray, out);
        Parsed p = parse(args);
        QCOMPARE(p.opts.useT0, useT0);
        QCOMPARE(p.opts.limitMiB, limit);
        QCOMPARE(p.out, out);
    }

    void constructorState()
    {
        MainWindow w(false, 1024);
        QCOMPARE(w.windowTitle(), QStringLiteral("16ch 1Gsps Digitizer"));
        QCOMPARE(MainWindowAccess::fileSizeLimit(w), Q_INT64_C(1073741824));
        QVERIFY(!MainWindowAccess::useT0(w));
        QVERIFY(MainWindowAccess::idle(w));
        QCOMPARE(MainWindowAccess::ipAddress(w), QStringLiteral("192.168.10.16"));
        QCOMPARE(MainWindowAccess::udpPort(w), quint16(4660));
        QTimer *t = MainWindowAccess::timer(w);
        QVERIFY(t);
        QCOMPARE(t->parent(), &w);
        QVERIFY(!t->isActive());

        auto *tabs = w.findChild<QTabWidget *>("tabWidget");
        QVERIFY(tabs);
        QCOMPARE(tabs->count(), 5);
        QVERIFY(tabs->isTabEnabled(0));
        for (int i = 1; i < 5; ++i)
            QVERIFY2(!tabs->isTabEnabled(i), qPrintable(tabs->tabText(i)));

        for (const char *name : {"serverStart", "pushButton", "single", "start", "stop", "read"}) {
            auto *b = w.findChild<QPushButton *>(name);
            QVERIFY2(b, name);
            QVERIFY2(b->autoDefault(), name);
        }
        auto *write = w.findChild<QPushButton *>("write");
        QVERIFY(write);
        QVERIFY(!write->autoDefault());

        auto *report = w.findChild<QTextEdit *>("textEdit");
        QVERIFY(report);
        QCOMPARE(report->font().family(), QString::fromUtf8("ＭＳ ゴシック"));
        QCOMPARE(report->font().pointSize(), 9);

        auto *table = w.findChild<QAbstractItemView *>("tableWidget");
        QVERIFY(table);
        QCOMPARE(table->editTriggers(), QAbstractItemView::NoEditTriggers);

        // The Operation tab is locked at start, so ask for the widgets' own state.
        QVERIFY(!w.findChild<QWidget *>("calibration")->testAttribute(Qt::WA_ForceDisabled));
        QVERIFY(w.findChild<QWidget *>("usingCalibration")->testAttribute(Qt::WA_ForceDisabled));
    }

    void useT0DisablesCalibration()
    {
        MainWindow w(true, 16);
        QVERIFY(MainWindowAccess::useT0(w));
        QCOMPARE(MainWindowAccess::fileSizeLimit(w), Q_INT64_C(16) * 1048576);
        QVERIFY(w.findChild<QWidget *>("calibration")->testAttribute(Qt::WA_ForceDisabled));
        QVERIFY(w.findChild<QWidget *>("usingCalibration")->testAttribute(Qt::WA_ForceDisabled));
    }

    void limitComputedIn64Bits()
    {
        MainWindow w(false, 4096);
        QCOMPARE(MainWindowAccess::fileSizeLimit(w), Q_INT64_C(4294967296));
        MainWindow big(false, INT_MAX);
        QCOMPARE(MainWindowAccess::fileSizeLimit(big), qint64(INT_MAX) * 1048576);
    }

    void closingEmitsCloseWindow()
    {
        MainWindow w(false, 1024);
        w.show();
        QSignalSpy spy(&w, &MainWindow::closeWindow);
        QVERIFY(w.close());
        QCOMPARE(spy.count(), 1);
        QVERIFY(!w.isVisible());
    }

    void quitActionClosesTheWindow()
    {
        MainWindow w(false, 1024);
        w.show();
        QSignalSpy spy(&w, &MainWindow::closeWindow);
        auto *quit = w.findChild<QAction *>("actionQuit");
        QVERIFY(quit);
        QCOMPARE(quit->text(), QStringLiteral("Quit"));
        QCOMPARE(quit->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
        quit->trigger();
        QCOMPARE(spy.count(), 1);
        QVERIFY(!w.isVisible());
    }
};

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
