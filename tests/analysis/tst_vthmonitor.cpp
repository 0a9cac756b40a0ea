// The threshold monitor run through the real window against the board
// emulator on 127.0.0.1: what reaches the board before, during and after the
// dialog, the threshold it leaves in the window, and a link error while the
// dialog is open.
#include "boardemulator.h"
#include "mainwindow.h"
#include "qtcpthread.h"
#include "qudpthread.h"
#include "testsupport.h"
#include "ui_mainwindow.h"
#include "ui_vthcheckdialog.h"
#include "vthcheckdialog.h"
#include "windowrig.h"

#include <QApplication>
#include <QEvent>
#include <QPointer>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <functional>

struct MainWindowAccess {
    static Ui_MainWindow *ui(MainWindow &w) { return w.ui; }
    static QTcpThread *stream(MainWindow &w) { return w.tcpThread; }
    static QUdpThread *worker(MainWindow &w) { return w.udpThread; }
    static QTimer *timer(MainWindow &w) { return w.timer; }
    static bool running(MainWindow &w) { return w.running; }
    static bool continuousMode(MainWindow &w) { return w.continuousMode; }
    static void setWorker(MainWindow &w, QUdpThread *u) { w.udpThread = u; }
};

struct VthCheckDialogAccess {
    static Ui_VthCheckDialog *ui(VthCheckDialog &d) { return d.ui; }
    static int signalMax(VthCheckDialog &d) { return d.signalMax; }
};

namespace {

using A = MainWindowAccess;
using D = VthCheckDialogAccess;
using Request = BoardEmulator::Request;

// Index in the log of the first write at the address with that length (and
// first byte, when given), or -1.
int findWrite(const QList<Request> &log, quint32 address, int length, int first = -1)
{
    for (int i = 0; i < log.size(); ++i) {
        const Request &r = log.at(i);
        if (r.write && !r.busError && r.address == address && r.length == length
            && (first < 0 || quint8(r.data.at(0)) == first))
            return i;
    }
    return -1;
}

int statusReads(const BoardEmulator &emu)
{
    int n = 0;
    const QList<Request> log = emu.requests();
    for (const Request &r : log)
        n += !r.write && r.address == 7 && r.length == 7;
    return n;
}

// Runs f on the monitor dialog once its event loop runs; rejects the dialog
// afterwards if f left it open (with leaveOpenMs, only if it is still open
// that much later, and then says so). The dialog is marked as it is shown,
// before any event loop runs, so the rig's answerer never takes it.
class DialogDriver : public QObject
{
public:
    explicit DialogDriver(std::function<void(VthCheckDialog *)> f, int leaveOpenMs = 0)
        : f(std::move(f)), leaveOpenMs(leaveOpenMs)
    {
        qApp->installEventFilter(this);
    }
    ~DialogDriver() override { qApp->removeEventFilter(this); }
    bool ran = false;
    bool leftOpen = false;

protected:
    bool eventFilter(QObject *o, QEvent *e) override
    {
        auto *d = qobject_cast<VthCheckDialog *>(o);
        if (!d || e->type() != QEvent::Show || d->property("answeredByTest").toBool())
            return false;
        d->setProperty("answeredByTest", true);
        QPointer<VthCheckDialog> guard(d);
        QTimer::singleShot(0, d, [this, guard] {
            ran = true;
            f(guard.data());
            if (leaveOpenMs == 0) {
                if (guard && guard->isVisible())
                    guard->reject();
                return;
            }
            QTimer::singleShot(leaveOpenMs, guard.data(), [this, guard] {
                if (guard && guard->isVisible()) {
                    leftOpen = true;
                    guard->reject();
                }
            });
        });
        return false;
    }

private:
    std::function<void(VthCheckDialog *)> f;
    int leaveOpenMs;
};

// The window after Read, on the polling Operation tab, set to trigger on
// Ch.5 with a falling edge.
struct Rig {
    explicit Rig(bool useT0 = false) : w(useT0, 1024) {}

    bool open()
    {
        if (!emu.start() || !readBoard(w, emu))
            return false;
        Ui_MainWindow *ui = A::ui(w);
        ui->tabWidget->setCurrentIndex(1);
        ui->comboBox->setCurrentIndex(7); // Ch.5
        ui->fall->setChecked(true);
        ui->delay->setText(QStringLiteral("0"));
        ui->sampling->setCurrentIndex(0);
        emu.setMonitor(100, 200, 300);
        emu.clearRequests();
        return ui->VthMonitor->isEnabled();
    }

    Ui_MainWindow *ui() { return A::ui(w); }
    QString status() { return w.statusBar()->currentMessage(); }

    // The trigger write that ends a run: registers 16 to 20.
    QByteArray restored()
    {
        int i = -1;
        (void)QTest::qWaitFor([&] { return (i = findWrite(emu.requests(), 16, 5)) >= 0; }, 5000);
        return i < 0 ? QByteArray() : emu.requests().at(i).data;
    }

    BoardEmulator emu;
    MainWindow w;
    ModalAnswerer answerer;
};

// While the dialog is open: the monitor settings and the start have reached
// the board, no stream exists, and the dialog has initialised from the
// board's monitor with the threshold the board had.
void checkOpenRun(Rig &r, VthCheckDialog *d, int startValue, bool *done)
{
    Ui_VthCheckDialog *dui = D::ui(*d);
    QTRY_VERIFY_WITH_TIMEOUT(controlWrites(r.emu.requests()).contains(startValue), 5000);
    QVERIFY(r.emu.executing());
    const QList<Request> log = r.emu.requests();
    const int monitor = findWrite(log, 16, 4);
    QVERIFY(monitor >= 0);
    const QByteArray data = log.at(monitor).data;
    QCOMPARE(quint8(data.at(0)), quint8(0x15));
    QCOMPARE(quint8(data.at(2)), quint8(0x7F));
    QCOMPARE(quint8(data.at(3)), quint8(0xFF));
    QVERIFY(monitor < findWrite(log, 4, 1, startValue));
    QCOMPARE(controlWrites(log), QList<int>{startValue});
    QVERIFY(!A::stream(r.w));
    QVERIFY(!r.emu.streamConnected());
    QVERIFY(A::running(r.w));
    QCOMPARE(r.status(), QStringLiteral(" waiting trigger"));

    // The third status initialises: 100/200/300 and the board's threshold 200.
    QTRY_COMPARE_WITH_TIMEOUT(dui->maxEdit->text(), QStringLiteral("325"), 5000);
    QCOMPARE(dui->minEdit->text(), QStringLiteral("75"));
    QCOMPARE(dui->min->text(), QStringLiteral("100"));
    QCOMPARE(dui->avrg->text(), QStringLiteral("200"));
    QCOMPARE(dui->max->text(), QStringLiteral("300"));
    QCOMPARE(dui->spinBox->value(), 200);
    QCOMPARE(dui->slider->value(), 200);
    *done = true;
}

// After the run: stopped, nothing of a stream left, the worker polling on.
void checkStopped(Rig &r, QUdpThread *worker)
{
    QCOMPARE(r.status(), QStringLiteral(" stopped"));
    QVERIFY(!A::stream(r.w));
    QVERIFY(!A::timer(r.w)->isActive());
    QVERIFY(!A::running(r.w));
    QVERIFY(!A::continuousMode(r.w));
    QVERIFY(!r.ui()->stop->isEnabled());
    QVERIFY(r.ui()->start->isEnabled());
    QVERIFY(r.ui()->single->isEnabled());
    QVERIFY(r.ui()->trigger->isEnabled());
    QVERIFY(tabsEnabled(r.w));
    QCOMPARE(A::worker(r.w), worker);
    QTRY_VERIFY_WITH_TIMEOUT(!r.emu.executing(), 5000);
    QVERIFY(!r.emu.streamConnected());
    const int polls = statusReads(r.emu);
    QTRY_VERIFY_WITH_TIMEOUT(statusReads(r.emu) > polls, 5000);
    QCOMPARE(r.answerer.count(), 0);
}

} // namespace

class TestVthMonitor : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { installFailOnWarnings(); }

    // Cancel: stop after the dialog, then registers 16 to 20 from the form
    // with the old threshold text.
    void cancelRestoresTrigger()
    {
        Rig r;
        QVERIFY(r.open());
        r.ui()->Vth->setText(QStringLiteral("-123"));
        QUdpThread *worker = A::worker(r.w);
        bool opened = false;
        DialogDriver driver([&](VthCheckDialog *d) {
            checkOpenRun(r, d, 0x20, &opened);
            D::ui(*d)->cancel->click();
        });
        r.ui()->VthMonitor->click();
        QVERIFY(opened);

        const QByteArray trigger = r.restored();
        QCOMPARE(trigger, QByteArray::fromHex("3500ff85").append(char(r.emu.reg(20))));
        const QList<Request> log = r.emu.requests();
        QCOMPARE(controlWrites(log), (QList<int>{0x20, 0x10}));
        QVERIFY(findWrite(log, 4, 1, 0x10) < findWrite(log, 16, 5));
        QCOMPARE(r.ui()->Vth->text(), QStringLiteral("-123"));
        QCOMPARE(r.emu.reg(16), quint8(0x35));
        checkStopped(r, worker);
    }

    // OK after choosing 250 in the spin box: the window shows it and writes it.
    void okWritesChosenThreshold()
    {
        Rig r(true); // T0 mode: the start carries bit 0
        QVERIFY(r.open());
        r.ui()->Vth->setText(QStringLiteral("77"));
        QUdpThread *worker = A::worker(r.w);
        bool opened = false;
        DialogDriver driver([&](VthCheckDialog *d) {
            checkOpenRun(r, d, 0x21, &opened);
            if (!opened)
                return;
            Ui_VthCheckDialog *dui = D::ui(*d);
            dui->spinBox->setValue(250);
            QTest::keyClick(dui->spinBox, Qt::Key_Return);
            QVERIFY(d->isVisible());
            QCOMPARE(dui->slider->value(), 250);
            dui->ok->click();
        });
        r.ui()->VthMonitor->click();
        QVERIFY(opened);

        QCOMPARE(r.ui()->Vth->text(), QStringLiteral("250"));
        const QByteArray trigger = r.restored();
        QCOMPARE(trigger.left(4), QByteArray::fromHex("350000fa"));
        QCOMPARE(controlWrites(r.emu.requests()), (QList<int>{0x21, 0x10}));
        QTRY_COMPARE_WITH_TIMEOUT(r.emu.reg(19), quint8(0xFA), 3000);
        QCOMPARE(r.emu.reg(18), quint8(0x00));
        checkStopped(r, worker);
    }

    // The dialog keeps refreshing from the board: a new monitor value is
    // shown at the next status and stored at the second.
    void dialogFollowsBoard()
    {
        Rig r;
        QVERIFY(r.open());
        r.ui()->Vth->setText(QStringLiteral("0"));
        bool opened = false;
        DialogDriver driver([&](VthCheckDialog *d) {
            checkOpenRun(r, d, 0x20, &opened);
            Ui_VthCheckDialog *dui = D::ui(*d);
            r.emu.setMonitor(-40, -20, 10);
            QTRY_COMPARE_WITH_TIMEOUT(dui->max->text(), QStringLiteral("10"), 3000);
            QCOMPARE(dui->min->text(), QStringLiteral("-40"));
            QCOMPARE(dui->avrg->text(), QStringLiteral("-20"));
            // Auto Set once the new signal has been stored.
            QTRY_COMPARE_WITH_TIMEOUT(D::signalMax(*d), 10, 3000);
            dui->pushButton->click();
            QCOMPARE(dui->minEdit->text(), QStringLiteral("-46")); // (-360 - 10) / 8
            QCOMPARE(dui->maxEdit->text(), QStringLiteral("16"));  // (90 + 40) / 8
            QCOMPARE(dui->spinBox->value(), -15);
            dui->ok->click();
        });
        r.ui()->VthMonitor->click();
        QVERIFY(opened);
        QCOMPARE(r.ui()->Vth->text(), QStringLiteral("-15"));
        QCOMPARE(r.restored().mid(2, 2), QByteArray::fromHex("fff1"));
    }

    // A threshold text the restore refuses: its warning tells the operator,
    // the board is stopped and keeps the monitor's source and threshold.
    void refusedRestoreKeepsMonitor()
    {
        Rig r;
        QVERIFY(r.open());
        r.ui()->Vth->setText(QStringLiteral("12a"));
        bool opened = false;
        DialogDriver driver([&](VthCheckDialog *d) {
            checkOpenRun(r, d, 0x20, &opened);
            D::ui(*d)->cancel->click();
        });
        r.answerer.answer(QMessageBox::Ok);
        r.ui()->VthMonitor->click();
        QVERIFY(opened);

        QCOMPARE(r.answerer.count(), 1);
        QCOMPARE(r.answerer.last().text, QStringLiteral("Invalid Trigger Vth: 12a"));
        QCOMPARE(r.ui()->Vth->text(), QStringLiteral("12a"));
        QCOMPARE(r.status(), QStringLiteral(" stopped"));
        QVERIFY(!A::running(r.w));
        QTRY_VERIFY_WITH_TIMEOUT(!r.emu.executing(), 5000);
        const int polls = statusReads(r.emu);
        QTRY_VERIFY_WITH_TIMEOUT(statusReads(r.emu) > polls + 1, 5000);
        const QList<Request> log = r.emu.requests();
        QCOMPARE(controlWrites(log), (QList<int>{0x20, 0x10}));
        QCOMPARE(findWrite(log, 16, 5), -1);
        QCOMPARE(r.emu.reg(16), quint8(0x15));
        QCOMPARE(r.emu.reg(18), quint8(0x7F));
        QCOMPARE(r.emu.reg(19), quint8(0xFF));
    }

    // An image that ends inside the threshold registers gives the dialog
    // threshold 0, not half a register.
    void shortImageThreshold()
    {
        MainWindow w(false, 1024);
        auto *worker = new QUdpThread(&w); // never started: no board behind it
        for (int i = 0; i < 19; ++i)
            worker->setRegister(i, i == 18 ? 0x01 : 0x00);
        A::setWorker(w, worker);
        A::ui(w)->comboBox->setCurrentIndex(3);
        A::ui(w)->Vth->setText(QStringLiteral("9"));
        A::ui(w)->delay->setText(QStringLiteral("0"));
        int shown = -1;
        DialogDriver driver([&](VthCheckDialog *d) {
            for (int i = 0; i < 3; ++i)
                QMetaObject::invokeMethod(d, "setStatus");
            shown = D::ui(*d)->spinBox->value();
        });
        QMetaObject::invokeMethod(&w, "on_VthMonitor_clicked");
        QCOMPARE(shown, 0);
        // Register 19 grew the image; the monitor settings and the form's
        // settings are queued in turn.
        QCOMPARE(worker->registers().size(), 20);
        QCOMPARE(worker->registers().mid(18).toHex(), QByteArray("0009"));
        QCOMPARE(worker->queuedRequests(), 4); // monitor, start, stop, trigger
    }

    // A link error while the dialog is open ends it, in its own event loop,
    // once the error box has been answered: nothing chosen could reach the
    // board. The stop and the trigger write are skipped, the status line says
    // that the threshold was not written, and the window ends locked to the
    // General tab.
    void linkErrorDuringDialog()
    {
        Rig r;
        QVERIFY(r.open());
        r.ui()->Vth->setText(QStringLiteral("55"));
        QPointer<QUdpThread> worker = A::worker(r.w);
        bool opened = false;
        DialogDriver driver(
            [&](VthCheckDialog *d) {
                checkOpenRun(r, d, 0x20, &opened);
                if (!opened)
                    return;
                worker->setTimeout(1);
                worker->setRetry(1);
                r.answerer.answer(QMessageBox::Ok);
                r.emu.setFault(BoardEmulator::DropReplies);
            },
            20000);
        r.ui()->VthMonitor->click();
        QVERIFY(opened);
        QVERIFY(!driver.leftOpen);
        r.emu.clearFaults();
        r.emu.clearRequests();
        QVERIFY(worker.isNull());

        QCOMPARE(r.answerer.count(), 1); // the link error only
        QVERIFY(r.answerer.last().text.endsWith(QStringLiteral("QTelvo: Socket operation timed out")));
        QCOMPARE(r.ui()->Vth->text(), QStringLiteral("55"));
        QCOMPARE(r.status(), QStringLiteral(" Threshold not written: the board link was lost"));
        QVERIFY(!A::worker(r.w));
        QVERIFY(!A::stream(r.w));
        QVERIFY(!A::running(r.w));
        QVERIFY(!r.ui()->stop->isEnabled());
        QVERIFY(r.ui()->read->isEnabled());
        QVERIFY(!r.ui()->write->isEnabled());
        QVERIFY(r.ui()->tabWidget->isTabEnabled(0));
        for (int i = 1; i <= 4; ++i)
            QVERIFY(!r.ui()->tabWidget->isTabEnabled(i));
        QTest::qWait(600);
        QVERIFY(r.emu.requests().isEmpty());
    }
};

QTEST_MAIN(TestVthMonitor)
#include "tst_vthmonitor.moc"
