// Graph windows: opened from the real main window with its channel lists,
// what they plot (points, x values, axis ranges, y range rules, pens), the
// manual/automatic update states, redraws that follow the screen, closing
// with the main window, and the pictures of a real acquisition from the
// board emulator on 127.0.0.1.
#include "boardemulator.h"
#include "eventblock.h"
#include "graphwindow.h"
#include "mainwindow.h"
#include "qcustomplot.h"
#include "testsupport.h"
#include "ui_graphwindow.h"
#include "ui_mainwindow.h"
#include "windowrig.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPointer>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <memory>

struct MainWindowAccess {
    static Ui_MainWindow *ui(MainWindow &w) { return w.ui; }
    static QByteArray &eventBuffer(MainWindow &w) { return w.eventBuffer; }
    static void setSamplingCode(MainWindow &w, int code) { w.samplingCode = quint8(code); }
    static void clearEvent(MainWindow &w) { w.clearEvent(); }
    static bool streaming(MainWindow &w) { return w.tcpThread != nullptr; }
};

struct GraphWindowAccess {
    static Ui_GraphWindow *ui(GraphWindow &g) { return g.ui; }
    static QTimer *timer(GraphWindow &g) { return g.timer; }
    static QTimer *frameTimer(GraphWindow &g) { return g.frameTimer; }
    static const QByteArray &shownEvent(GraphWindow &g) { return g.shownEvent; }
    static bool autoUpdate(GraphWindow &g) { return g.autoUpdate; }
    static bool pending(GraphWindow &g) { return g.pendingEvent != nullptr; }
    static int samplingCode(GraphWindow &g) { return g.samplingCode; }
    static double yLower(GraphWindow &g) { return g.yLower; }
    static double yUpper(GraphWindow &g) { return g.yUpper; }
};

namespace {

using A = MainWindowAccess;
using G = GraphWindowAccess;

// A block whose word k of channel c is f(c, k).
QByteArray makeBlock(const std::function<int(int, int)> &f)
{
    QByteArray b(Event::BlockSize, '\0');
    uchar *p = reinterpret_cast<uchar *>(b.data());
    for (int i = 0; i < Event::HeaderSize; ++i)
        p[i] = Event::Header[i];
    for (int c = 0; c < 16; ++c)
        for (int k = 0; k < 1024; ++k)
            Event::setWord(p, c, k, qint16(f(c, k)));
    return b;
}

QByteArray patternBlock(int seed = 0)
{
    return makeBlock([seed](int c, int k) { return ((c * 1000 + k * 7 + seed * 13) % 4001) - 2000; });
}

QByteArray flatBlock(int v)
{
    return makeBlock([v](int, int) { return v; });
}

// Big-endian word k of channel c, read here without the shared header.
int wordOf(const QByteArray &b, int c, int k)
{
    const int at = 4 + 2048 * c + 2 * k;
    return qint16(quint16(quint8(b.at(at)) << 8 | quint8(b.at(at + 1))));
}

QList<GraphWindow *> graphWindows()
{
    QList<GraphWindow *> list;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *g = qobject_cast<GraphWindow *>(w))
            list << g;
    return list;
}

QCustomPlot *plot(GraphWindow &g)
{
    return G::ui(g)->customPlot;
}

QVector<double> keys(QCPGraph *graph)
{
    QVector<double> v;
    for (auto it = graph->data()->constBegin(); it != graph->data()->constEnd(); ++it)
        v << it->key;
    return v;
}

QVector<double> values(QCPGraph *graph)
{
    QVector<double> v;
    for (auto it = graph->data()->constBegin(); it != graph->data()->constEnd(); ++it)
        v << it->value;
    return v;
}

// The values a window must draw for channel c of block b.
QVector<double> expectedValues(const QByteArray &b, int c, bool useT0)
{
    QVector<double> v;
    for (int k = useT0 ? 0 : 1; k <= (useT0 ? 1023 : 1022); ++k)
        v << wordOf(b, c, k);
    return v;
}

// Every graph of the window shows its channel of b.
bool shows(GraphWindow &g, const QByteArray &b, const QList<int> &channels, bool useT0)
{
    if (plot(g)->graphCount() != channels.size())
        return false;
    for (int i = 0; i < channels.size(); ++i)
        if (values(plot(g)->graph(i)) != expectedValues(b, channels.at(i), useT0))
            return false;
    return true;
}

QString status(GraphWindow &g)
{
    return g.statusBar()->currentMessage();
}

// Closes every graph window left over and lets them go.
void closeGraphWindows()
{
    for (GraphWindow *g : graphWindows())
        g->close();
    QTest::qWait(0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Opens a graph window from the main window with the channel list `text`.
GraphWindow *openGraph(MainWindow &w, const QString &text)
{
    const QList<GraphWindow *> before = graphWindows();
    A::ui(w)->lineEdit->setText(text);
    w.on_graph_clicked();
    for (GraphWindow *g : graphWindows())
        if (!before.contains(g))
            return g;
    return nullptr;
}

// The main window read from the emulator, on the Operation tab.
struct Rig {
    explicit Rig(bool useT0 = false, BoardEmulator::Options opts = BoardEmulator::Options())
        : emu(opts), w(useT0, 1024)
    {
    }
    ~Rig() { closeGraphWindows(); }

    bool open()
    {
        if (!emu.start() || !readBoard(w, emu))
            return false;
        A::ui(w)->tabWidget->setCurrentIndex(1);
        return true;
    }

    bool stopped()
    {
        return !A::streaming(w) && w.statusBar()->currentMessage() == QLatin1String(" stopped");
    }

    BoardEmulator emu;
    MainWindow w;
    ModalAnswerer answerer;
};

} // namespace

class TestGraphWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { installFailOnWarnings(); }
    void cleanup() { closeGraphWindows(); }

    // New Graph reads the channel list and titles the window after it.
    void channelLists_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QList<int>>("channels");
        auto range = [](int a, int b) {
            QList<int> l;
            for (int c = a; c <= b; ++c)
                l << c;
            return l;
        };
        QTest::newRow("default") << QStringLiteral(" 0-15") << range(0, 15);
        QTest::newRow("pieces") << QStringLiteral("0-3,8,12-15") << (range(0, 3) << 8 << range(12, 15));
        QTest::newRow("reversed") << QStringLiteral("5-2") << QList<int>();
        QTest::newRow("too large") << QStringLiteral("20") << QList<int>();
        QTest::newRow("too large for an int") << QStringLiteral(" 99999999999") << QList<int>();
        QTest::newRow("no number") << QStringLiteral("x") << QList<int>{0};
        QTest::newRow("leading dash") << QStringLiteral("-3") << QList<int>{3};
        QTest::newRow("trailing dash") << QStringLiteral("3-") << QList<int>{3};
        QTest::newRow("three numbers") << QStringLiteral("1-2-9") << range(1, 9);
        QTest::newRow("upper too large") << QStringLiteral("12-99") << range(12, 15);
        QTest::newRow("upper no number") << QStringLiteral("14-y") << range(14, 15);
        QTest::newRow("empty") << QString() << QList<int>();
        QTest::newRow("empty pieces") << QStringLiteral(",, 7 ,-,15,") << QList<int>{7, 15};
        QTest::newRow("16") << QStringLiteral("16") << QList<int>();
        QTest::newRow("blanks") << QStringLiteral(" 2 - 4 ") << range(2, 4);
    }
    void channelLists()
    {
        QFETCH(QString, text);
        QFETCH(QList<int>, channels);
        MainWindow w(false, 1024);
        A::eventBuffer(w) = patternBlock();
        GraphWindow *g = openGraph(w, text);
        QVERIFY(g);
        QCOMPARE(g->windowTitle(), QStringLiteral("Graph ") + text);
        QList<int> on;
        for (int c = 0; c < 16; ++c)
            if (g->channelOn[c])
                on << c;
        QCOMPARE(on, channels);
        QVERIFY(g->isVisible());
        QVERIFY(g->testAttribute(Qt::WA_DeleteOnClose));
        QCOMPARE(status(*g), QStringLiteral(" data hold"));
        QVERIFY(shows(*g, A::eventBuffer(w), channels, false));
        QCOMPARE(plot(*g)->xAxis->label(), QStringLiteral("T[ns]"));
        QCOMPARE(plot(*g)->interactions(), QCP::iRangeDrag | QCP::iRangeZoom | QCP::iSelectPlottables);
    }

    // The form of the window.
    void form()
    {
        GraphWindow g(false);
        Ui_GraphWindow *ui = G::ui(g);
        QCOMPARE(g.geometry(), QRect(400, 250, 500, 400));
        QCOMPARE(g.centralWidget(), static_cast<QWidget *>(ui->customPlot));
        QCOMPARE(ui->actionAuto->text(), QStringLiteral("&Auto Update"));
        QCOMPARE(ui->actionManual->text(), QStringLiteral("&Manual Update"));
        QCOMPARE(ui->actionSave->text(), QStringLiteral("&Save ..."));
        QCOMPARE(ui->actionClose->text(), QStringLiteral("&Close"));
        QCOMPARE(ui->actionUpdate->text(), QStringLiteral("&Update"));
        QCOMPARE(ui->actionSave->shortcut(), QKeySequence(QStringLiteral("Ctrl+S")));
        QCOMPARE(ui->actionClose->shortcut(), QKeySequence(QStringLiteral("Ctrl+W")));
        QCOMPARE(ui->actionUpdate->shortcut(), QKeySequence(QStringLiteral("Ctrl+U")));
        QVERIFY(ui->actionAuto->isCheckable() && !ui->actionAuto->isChecked());
        QVERIFY(ui->actionManual->isCheckable() && ui->actionManual->isChecked());
        QVERIFY(ui->actionSave->isEnabled());
        QVERIFY(!ui->actionUpdate->isEnabled());
        QVERIFY(!ui->actionSave->icon().isNull());
        QVERIFY(!ui->actionUpdate->icon().isNull());
        QCOMPARE(ui->menu_File->title(), QStringLiteral("&File"));
        QCOMPARE(ui->menu_Update->title(), QStringLiteral("&Update"));
        QCOMPARE(ui->menu_File->actions(), (QList<QAction *>{ui->actionSave, ui->actionClose}));
        const QList<QAction *> update = ui->menu_Update->actions();
        QCOMPARE(update.size(), 4);
        QCOMPARE(update.at(0), ui->actionUpdate);
        QVERIFY(update.at(1)->isSeparator());
        QCOMPARE(update.at(2), ui->actionManual);
        QCOMPARE(update.at(3), ui->actionAuto);
        const QList<QAction *> tools = ui->toolBar->actions();
        QCOMPARE(tools.size(), 5);
        QCOMPARE(tools.at(0), ui->actionSave);
        QVERIFY(tools.at(1)->isSeparator());
        QCOMPARE(tools.mid(2), (QList<QAction *>{ui->actionUpdate, ui->actionManual, ui->actionAuto}));
        QCOMPARE(g.toolBarArea(ui->toolBar), Qt::TopToolBarArea);
        for (bool on : g.channelOn)
            QVERIFY(!on);
        QVERIFY(!G::timer(g)->isActive());
        QVERIFY(!G::timer(g)->isSingleShot());
    }

    // Points, x values and the x range per sampling code, with and without T0.
    void points_data()
    {
        QTest::addColumn<bool>("useT0");
        QTest::addColumn<int>("code");
        QTest::addColumn<double>("xEnd");
        const double ends[4] = {1024, 512, 341, 204};
        for (int t = 0; t < 2; ++t)
            for (int code = 0; code < 4; ++code)
                QTest::addRow("T0 %d, code %d", t, code) << bool(t) << code << ends[code];
    }
    void points()
    {
        QFETCH(bool, useT0);
        QFETCH(int, code);
        QFETCH(double, xEnd);
        const int rate[4] = {1, 2, 3, 5};
        GraphWindow g(useT0);
        g.channelOn[1] = g.channelOn[15] = true;
        const QByteArray b = patternBlock(code);
        const QString title = QStringLiteral("t");
        g.initPlot(&title, &b, code);
        QCOMPARE(plot(g)->graphCount(), 2);
        QVector<double> x;
        for (int k = useT0 ? 0 : 1; k <= (useT0 ? 1023 : 1022); ++k)
            x << double(k) / rate[code];
        QCOMPARE(x.size(), useT0 ? 1024 : 1022);
        for (int i = 0; i < 2; ++i)
            QCOMPARE(keys(plot(g)->graph(i)), x);
        QVERIFY(shows(g, b, {1, 15}, useT0));
        QCOMPARE(plot(g)->xAxis->range().lower, 0.0);
        QCOMPARE(plot(g)->xAxis->range().upper, xEnd);
        QCOMPARE(G::samplingCode(g), code);

        // A null title leaves the title alone.
        g.initPlot(nullptr, &b, code);
        QCOMPARE(g.windowTitle(), title);
    }

    // The y range: flat first event v +- 10, never narrowing, widening by a
    // quarter of the spread of the selected channels taken together.
    void yRange()
    {
        GraphWindow g(false);
        g.channelOn[2] = g.channelOn[5] = true;
        const QByteArray flat = flatBlock(100);
        g.initPlot(nullptr, &flat, 0);
        QCOMPARE(plot(g)->yAxis->range().lower, 90.0);
        QCOMPARE(plot(g)->yAxis->range().upper, 110.0);

        // Switch to automatic mode and feed events.
        G::ui(g)->actionAuto->trigger();
        QVERIFY(G::autoUpdate(g));
        // Each event is drawn within a frame.
        auto feed = [&](QByteArray b) {
            QMetaObject::invokeMethod(&g, "replot", Q_ARG(QByteArray *, &b), Q_ARG(int, 0));
            return QTest::qWaitFor([&] { return !G::frameTimer(g)->isActive(); }, 5000)
                && G::shownEvent(g) == b;
        };
        // Narrower: nothing moves.
        QVERIFY(feed(makeBlock([](int, int k) { return 95 + k % 10; })));
        QCOMPARE(plot(g)->yAxis->range().lower, 90.0);
        QCOMPARE(plot(g)->yAxis->range().upper, 110.0);
        // Below the lower end only (channel 2 from 50, channel 5 up to 105):
        // spread 55, lower end 50 - 13.75, upper end unchanged.
        QVERIFY(feed(makeBlock([](int c, int k) { return c == 2 ? 50 + k % 20 : c == 5 ? 100 + k % 6 : -3000; })));
        QCOMPARE(plot(g)->yAxis->range().lower, 50 - 0.25 * 55);
        QCOMPARE(plot(g)->yAxis->range().upper, 110.0);
        // Word 0 (the start cell) and word 1023 are not samples here.
        QVERIFY(feed(makeBlock([](int, int k) { return k == 0 || k == 1023 ? 30000 : 100; })));
        QCOMPARE(plot(g)->yAxis->range().upper, 110.0);
        // Both ends: spread 400.
        QVERIFY(feed(makeBlock([](int c, int k) { return c == 2 ? (k % 2 ? -200 : 200) : 0; })));
        QCOMPARE(plot(g)->yAxis->range().lower, -300.0);
        QCOMPARE(plot(g)->yAxis->range().upper, 300.0);
    }

    // With no channel selected there are no graphs and the y range stays as it is.
    void noChannel()
    {
        GraphWindow g(false);
        const QByteArray b = patternBlock();
        g.initPlot(nullptr, &b, 2);
        QCOMPARE(plot(g)->graphCount(), 0);
        QCOMPARE(G::yLower(g), 4095.0);
        QCOMPARE(G::yUpper(g), -4095.0);
        QCOMPARE(plot(g)->xAxis->range().upper, 341.0);
    }

    // Pens: hue 20 x channel, full saturation, value and alpha.
    void hues()
    {
        GraphWindow g(false);
        g.channelOn[2] = g.channelOn[5] = g.channelOn[15] = true;
        const QByteArray b = patternBlock();
        g.initPlot(nullptr, &b, 0);
        QCOMPARE(plot(g)->graphCount(), 3);
        const int hues[3] = {40, 100, 300};
        for (int i = 0; i < 3; ++i) {
            const QColor color = plot(g)->graph(i)->pen().color();
            QCOMPARE(color.hsvHue(), hues[i]);
            QCOMPARE(color.hsvSaturation(), 255);
            QCOMPARE(color.value(), 255);
            QCOMPARE(color.alpha(), 255);
        }
        // Later draws reuse the graphs.
        G::ui(g)->actionAuto->trigger();
        QByteArray next = patternBlock(3);
        QMetaObject::invokeMethod(&g, "replot", Q_ARG(QByteArray *, &next), Q_ARG(int, 1));
        QTRY_VERIFY(shows(g, next, {2, 5, 15}, false));
        QCOMPARE(plot(g)->graph(1)->pen().color().hsvHue(), 100);
    }

    // Manual and automatic mode through the main window's signals.
    void states()
    {
        MainWindow w(false, 1024);
        QByteArray &buffer = A::eventBuffer(w);
        const QByteArray first = patternBlock(1);
        buffer = first;
        A::setSamplingCode(w, 0);
        GraphWindow *g = openGraph(w, QStringLiteral("0,3"));
        QVERIFY(g);
        Ui_GraphWindow *ui = G::ui(*g);
        QSignalSpy replots(plot(*g), &QCustomPlot::afterReplot);

        // Manual, nothing pending.
        QCOMPARE(status(*g), QStringLiteral(" data hold"));
        QVERIFY(ui->actionManual->isChecked() && !ui->actionAuto->isChecked());
        QVERIFY(ui->actionSave->isEnabled());
        QVERIFY(!ui->actionUpdate->isEnabled());

        // Two events: held, nothing drawn; Update draws the second with its code.
        const QByteArray second = patternBlock(2), third = patternBlock(3);
        buffer = second;
        emit w.newData(&buffer, 1);
        QVERIFY(ui->actionUpdate->isEnabled());
        buffer = third;
        emit w.newData(&buffer, 3);
        QCOMPARE(status(*g), QStringLiteral(" data hold"));
        QVERIFY(shows(*g, first, {0, 3}, false));
        QCOMPARE(replots.count(), 0);
        ui->actionUpdate->trigger();
        QVERIFY(shows(*g, third, {0, 3}, false));
        QCOMPARE(G::samplingCode(*g), 3);
        QCOMPARE(plot(*g)->xAxis->range().upper, 204.0);
        QVERIFY(!ui->actionUpdate->isEnabled());
        QVERIFY(!G::pending(*g));
        QCOMPARE(replots.count(), 1);

        // Pending but disarmed: startTrigger disables Update, the event stays pending.
        buffer = second;
        emit w.newData(&buffer, 1);
        QVERIFY(ui->actionUpdate->isEnabled());
        emit w.startTrigger();
        QVERIFY(!ui->actionUpdate->isEnabled());
        QVERIFY(G::pending(*g));

        // Switching to automatic draws the pending event at once.
        ui->actionAuto->trigger();
        QVERIFY(G::autoUpdate(*g));
        QVERIFY(ui->actionAuto->isChecked() && !ui->actionManual->isChecked());
        QVERIFY(shows(*g, second, {0, 3}, false));
        QCOMPARE(G::samplingCode(*g), 1);
        QCOMPARE(status(*g), QStringLiteral(" waiting data"));
        QVERIFY(!ui->actionSave->isEnabled());
        QVERIFY(!ui->actionUpdate->isEnabled());
        QVERIFY(!G::pending(*g));
        QVERIFY(!G::timer(*g)->isActive()); // only after the first automatic draw

        // Automatic: every event is shown, the 2000 ms timer restarts.
        buffer = first;
        emit w.newData(&buffer, 2);
        QCOMPARE(status(*g), QStringLiteral(" data update"));
        QVERIFY(G::timer(*g)->isActive());
        QCOMPARE(G::timer(*g)->interval(), 2000);
        QTRY_VERIFY(shows(*g, first, {0, 3}, false));
        QVERIFY(!ui->actionUpdate->isEnabled());

        // No event for a while: " waiting data", again and again. The timer is
        // driven faster here instead of waiting 2 s per tick.
        QSignalSpy ticks(G::timer(*g), &QTimer::timeout);
        G::timer(*g)->start(5);
        QTRY_COMPARE(status(*g), QStringLiteral(" waiting data"));
        QTRY_VERIFY(ticks.count() >= 3);
        QVERIFY(G::timer(*g)->isActive());
        emit w.newData(&buffer, 2);
        QCOMPARE(status(*g), QStringLiteral(" data update"));
        QCOMPARE(G::timer(*g)->interval(), 2000);

        // Clicking the checked Auto action switches to manual: timer stopped.
        ui->actionAuto->trigger();
        QVERIFY(!G::autoUpdate(*g));
        QVERIFY(ui->actionManual->isChecked() && !ui->actionAuto->isChecked());
        QVERIFY(!G::timer(*g)->isActive());
        QCOMPARE(status(*g), QStringLiteral(" data hold"));
        QVERIFY(ui->actionSave->isEnabled());
        QVERIFY(!ui->actionUpdate->isEnabled());

        // Clicking the checked Manual action switches to automatic.
        ui->actionManual->trigger();
        QVERIFY(G::autoUpdate(*g));
        QVERIFY(ui->actionAuto->isChecked() && !ui->actionManual->isChecked());
        QCOMPARE(status(*g), QStringLiteral(" waiting data"));

        // Set from code (the nested toggle): same states both ways; a pending
        // event is drawn once.
        ui->actionManual->setChecked(true);
        QVERIFY(!G::autoUpdate(*g) && !ui->actionAuto->isChecked());
        buffer = second;
        emit w.newData(&buffer, 0);
        QVERIFY(ui->actionUpdate->isEnabled());
        const int before = replots.count();
        ui->actionAuto->setChecked(true);
        QVERIFY(G::autoUpdate(*g) && !ui->actionManual->isChecked());
        QCOMPARE(replots.count(), before + 1);
        QVERIFY(shows(*g, second, {0, 3}, false));
        QCOMPARE(status(*g), QStringLiteral(" waiting data"));
        QVERIFY(!ui->actionSave->isEnabled() && !ui->actionUpdate->isEnabled());
        ui->actionAuto->setChecked(false);
        QVERIFY(!G::autoUpdate(*g) && ui->actionManual->isChecked());
        QVERIFY(ui->actionSave->isEnabled() && !ui->actionUpdate->isEnabled());
        QCOMPARE(status(*g), QStringLiteral(" data hold"));
    }

    // A manual Update after the main window armed a new acquisition (its
    // buffer emptied) takes nothing; nor after the main window has gone.
    void updateWithoutEvent()
    {
        auto w = std::make_unique<MainWindow>(false, 1024);
        const QByteArray first = patternBlock(1);
        A::eventBuffer(*w) = first;
        QPointer<GraphWindow> g = openGraph(*w, QStringLiteral("4"));
        QVERIFY(g);
        A::eventBuffer(*w) = patternBlock(2);
        emit w->newData(&A::eventBuffer(*w), 0);
        A::clearEvent(*w);
        QVERIFY(!G::ui(*g)->actionUpdate->isEnabled());
        QVERIFY(QMetaObject::invokeMethod(g, "on_actionUpdate_triggered"));
        QVERIFY(shows(*g, first, {4}, false));
        QCOMPARE(G::shownEvent(*g), first);

        // The event pending from a main window that has been deleted.
        A::eventBuffer(*w) = patternBlock(3);
        emit w->newData(&A::eventBuffer(*w), 0);
        w.reset();
        QVERIFY(g);
        QVERIFY(QMetaObject::invokeMethod(g, "on_actionUpdate_triggered"));
        QCOMPARE(G::shownEvent(*g), first);
        delete g;
    }

    // Short buffers are never read past their end.
    void shortBuffers()
    {
        GraphWindow g(true);
        g.channelOn[0] = true;
        QByteArray cut = patternBlock().left(Event::BlockSize - 2);
        g.initPlot(nullptr, &cut, 0);
        QCOMPARE(plot(g)->graphCount(), 0);
        QCOMPARE(plot(g)->xAxis->label(), QStringLiteral("T[ns]"));
        G::ui(g)->actionAuto->trigger();
        QMetaObject::invokeMethod(&g, "replot", Q_ARG(QByteArray *, &cut), Q_ARG(int, 0));
        QTest::qWait(50);
        QCOMPARE(plot(g)->graphCount(), 0);
        QVERIFY(G::shownEvent(g).isEmpty());
        // The first whole event makes the graph.
        QByteArray whole = patternBlock(5);
        QMetaObject::invokeMethod(&g, "replot", Q_ARG(QByteArray *, &whole), Q_ARG(int, 0));
        QTRY_VERIFY(shows(g, whole, {0}, true));
    }

    // A burst of events is drawn at most once per frame, and the picture
    // ends on the newest one; the y range counts every event of the burst.
    void burstFollowsScreen()
    {
        MainWindow w(false, 1024);
        A::eventBuffer(w) = flatBlock(0);
        GraphWindow *g = openGraph(w, QStringLiteral(" 0-15"));
        QVERIFY(g);
        G::ui(*g)->actionAuto->trigger();
        QSignalSpy replots(plot(*g), &QCustomPlot::afterReplot);
        // A frame is at least 30 ms (its timer may fire 5% early), and the
        // burst takes as long as the machine makes it: the draws it may have
        // cost are counted from the time it took, plus one for the layout
        // of the shown window.
        QElapsedTimer clock;
        clock.start();
        auto allowed = [&](int extra) { return 1 + extra + clock.elapsed() / 25; };
        auto spent = [&] {
            return QByteArray::number(replots.count()) + " replots in " + QByteArray::number(clock.elapsed()) + " ms";
        };
        QByteArray &buffer = A::eventBuffer(w);
        // Events inside the range -10..10 of the first one, except two in
        // mid-burst: one flat at -1000, one reaching 500 on channel 7.
        auto small = [](int i) { return makeBlock([i](int c, int k) { return (c + k + i) % 11 - 5; }); };
        for (int i = 0; i < 200; ++i) {
            buffer = i == 50   ? flatBlock(-1000)
                   : i == 120 ? makeBlock([](int c, int) { return c == 7 ? 500 : 0; })
                              : small(i);
            emit w.newData(&buffer, i == 199 ? 1 : 0);
        }
        QCOMPARE(G::shownEvent(*g), small(199));
        QVERIFY2(replots.count() <= allowed(0), spent().constData());
        QTRY_VERIFY(shows(*g, small(199), [] { QList<int> l; for (int c = 0; c < 16; ++c) l << c; return l; }(), false));
        QVERIFY2(replots.count() <= allowed(1), spent().constData());
        QCOMPARE(plot(*g)->xAxis->range().upper, 512.0);
        QCOMPARE(plot(*g)->yAxis->range().lower, -1010.0);
        QCOMPARE(plot(*g)->yAxis->range().upper, 500 + 0.25 * 500);
        // Once the newest event is shown, nothing is drawn again.
        const int drawn = replots.count();
        QTest::qWait(60);
        QCOMPARE(replots.count(), drawn);
    }

    // Several windows each receive every event; closing the main window
    // closes and releases them all.
    void severalWindows()
    {
        auto w = std::make_unique<MainWindow>(false, 1024);
        A::eventBuffer(*w) = patternBlock();
        QList<QPointer<GraphWindow>> windows;
        const QStringList lists = {QStringLiteral("0"), QStringLiteral("1-2"), QStringLiteral(" 0-15")};
        for (const QString &l : lists) {
            windows << openGraph(*w, l);
            QVERIFY(windows.last());
            G::ui(*windows.last())->actionAuto->trigger();
        }
        // One more in manual mode, closed by the user: it goes away at once.
        QPointer<GraphWindow> closed = openGraph(*w, QStringLiteral("5"));
        G::ui(*closed)->actionClose->trigger();
        QTRY_VERIFY(closed.isNull());

        QByteArray &buffer = A::eventBuffer(*w);
        for (int i = 0; i < 5; ++i) {
            buffer = patternBlock(10 + i);
            emit w->newData(&buffer, 0);
            for (const QPointer<GraphWindow> &g : windows)
                QCOMPARE(G::shownEvent(*g), buffer);
        }
        QTRY_VERIFY(shows(*windows.at(0), buffer, {0}, false));
        QTRY_VERIFY(shows(*windows.at(1), buffer, {1, 2}, false));
        QVERIFY(graphWindows().size() == 3);

        w->close();
        for (const QPointer<GraphWindow> &g : windows)
            QVERIFY(!g || !g->isVisible());
        QTRY_VERIFY(graphWindows().isEmpty());
        for (const QPointer<GraphWindow> &g : windows)
            QVERIFY(g.isNull());
    }

    // Graph windows on a real acquisition: what they draw is what the
    // emulator sent, sample for sample.
    void realAcquisition_data()
    {
        QTest::addColumn<bool>("useT0");
        QTest::newRow("start cell") << false;
        QTest::newRow("T0") << true;
    }
    void realAcquisition()
    {
        QFETCH(bool, useT0);
        BoardEmulator::Options opts;
        opts.rate = 100;
        Rig r(useT0, opts);
        QVERIFY(r.open());
        Ui_MainWindow *ui = A::ui(r.w);
        QList<QByteArray> copies;
        connect(&r.w, &MainWindow::newData, this, [&](QByteArray *d, int) { copies << *d; });

        // Single: New Graph shows that event.
        ui->single->click();
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 10000);
        QCOMPARE(copies.size(), 1);
        QVERIFY(ui->graph->isEnabled());
        ui->lineEdit->setText(QStringLiteral(" 0-15"));
        ui->graph->click();
        QCOMPARE(graphWindows().size(), 1);
        GraphWindow *all = graphWindows().at(0);
        QList<int> every;
        for (int c = 0; c < 16; ++c)
            every << c;
        const QByteArray single = r.emu.sentBlocks().value(0);
        QCOMPARE(single.size(), Event::BlockSize);
        QVERIFY(shows(*all, single, every, useT0));
        QCOMPARE(all->windowTitle(), QStringLiteral("Graph  0-15"));

        // A second window on some channels; both follow a continuous run.
        ui->lineEdit->setText(QStringLiteral("3,7-9"));
        ui->graph->click();
        GraphWindow *some = nullptr;
        for (GraphWindow *g : graphWindows())
            if (g != all)
                some = g;
        QVERIFY(some);
        G::ui(*all)->actionAuto->trigger();
        G::ui(*some)->actionAuto->trigger();

        ui->start->click();
        QTRY_VERIFY_WITH_TIMEOUT(copies.size() >= 8, 10000);
        ui->stop->click();
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 10000);
        const QList<QByteArray> sent = r.emu.sentBlocks();
        QVERIFY(sent.size() >= copies.size());
        QCOMPARE(sent.mid(0, copies.size()), copies);
        const QByteArray last = copies.last();
        QTRY_VERIFY(shows(*all, last, every, useT0));
        QTRY_VERIFY(shows(*some, last, {3, 7, 8, 9}, useT0));
        QCOMPARE(G::shownEvent(*all), last);
        QCOMPARE(G::shownEvent(*some), last);
        QCOMPARE(r.answerer.count(), 0);
    }

    // Headless picture of a graph window showing an emulator event, for the README.
    void grabScreenshot()
    {
        const QString dir = qEnvironmentVariable("SCREENSHOT_DIR");
        if (dir.isEmpty())
            QSKIP("SCREENSHOT_DIR not set");
        Rig r;
        QVERIFY(r.open());
        A::ui(r.w)->single->click();
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 10000);
        GraphWindow *g = openGraph(r.w, QStringLiteral(" 0-15"));
        QVERIFY(g);
        QVERIFY(QTest::qWaitForWindowExposed(g));
        QCoreApplication::processEvents();
        const QString file = QDir(dir).filePath(QStringLiteral("graphwindow.png"));
        QVERIFY2(g->grab().save(file), qPrintable(file));
    }
};

QTEST_MAIN(TestGraphWindow)
#include "tst_graphwindow.moc"
