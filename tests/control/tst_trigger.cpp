// Trigger, sampling and threshold settings: the register bytes they write,
// their refusals, and the widgets refreshed from a board's registers.
#include "boardemulator.h"
#include "mainwindow.h"
#include "qudpthread.h"
#include "testsupport.h"
#include "windowrig.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <memory>

struct MainWindowAccess {
    static QUdpThread *worker(MainWindow &w) { return w.udpThread; }
    static bool applyTrigger(MainWindow &w) { return w.applyTrigger(); }
    static quint8 samplingCode(MainWindow &w) { return w.samplingCode; }
    static bool setupCondition(MainWindow &w) { return w.setupCondition; }
};

namespace {

using A = MainWindowAccess;

QLineEdit *edit(MainWindow &w, const char *name) { return child<QLineEdit>(w, name); }
QComboBox *combo(MainWindow &w, const char *name) { return child<QComboBox>(w, name); }
QRadioButton *radio(MainWindow &w, const char *name) { return child<QRadioButton>(w, name); }
QTabWidget *tabs(MainWindow &w) { return child<QTabWidget>(w, "tabWidget"); }

void checkWarning(const BoxRecord &r, const QString &text)
{
    QCOMPARE(r.title, QString());
    QCOMPARE(r.text, text);
    QCOMPARE(r.icon, QMessageBox::Warning);
    QCOMPARE(r.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
}

// The widget's own enabled flag, whatever its tab or group says.
bool ownEnabled(QWidget *widget)
{
    return !widget->testAttribute(Qt::WA_ForceDisabled);
}

bool sameImage(const QPixmap &a, const char *resource)
{
    return a.toImage() == QPixmap(QLatin1String(resource)).toImage();
}

bool sameIcon(const QIcon &a, const char *resource)
{
    return a.pixmap(16).toImage() == QIcon(QLatin1String(resource)).pixmap(16).toImage();
}

// A board and a window that has read it.
struct Rig {
    BoardEmulator emu;
    MainWindow w{false, 1024};

    bool read()
    {
        if (!emu.isRunning() && !emu.start())
            return false;
        tabs(w)->setCurrentIndex(0);
        return readBoard(w, emu);
    }

    // Applies the window's settings on the polling Operation tab and returns
    // the bytes of registers 16 to 20 that reach the board.
    QByteArray applied()
    {
        tabs(w)->setCurrentIndex(1);
        emu.clearRequests();
        if (!A::applyTrigger(w))
            return QByteArray("refused");
        QByteArray data;
        (void)QTest::qWaitFor([&] {
            for (const BoardEmulator::Request &r : emu.requests())
                if (r.write && r.address == 16 && r.length == 5)
                    data = r.data;
            return !data.isEmpty();
        }, 10000);
        return data;
    }
};

std::unique_ptr<Rig> shared;

} // namespace

class TestTrigger : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        installFailOnWarnings();
        shared.reset(new Rig);
        QVERIFY(shared->read());
    }

    void cleanupTestCase() { shared.reset(); }

    void init()
    {
        MainWindow &w = shared->w;
        combo(w, "comboBox")->setCurrentIndex(2);
        radio(w, "rise")->setChecked(true);
        edit(w, "delay")->setText(QStringLiteral("0"));
        edit(w, "Vth")->setText(QStringLiteral("0"));
        combo(w, "sampling")->setCurrentIndex(0);
    }

    void source_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<bool>("fall");
        QTest::addColumn<int>("reg16");
        QTest::newRow("NIM-IN1 fall") << 1 << true << 0x21;
        QTest::newRow("NIM-IN0 rise") << 0 << false << 0x00;
        QTest::newRow("Ch.15 rise") << 17 << false << 0x1F;
        QTest::newRow("Ch.0 fall") << 2 << true << 0x30;
        QTest::newRow("Ch.5 rise") << 7 << false << 0x15;
    }

    void source()
    {
        QFETCH(int, index);
        QFETCH(bool, fall);
        QFETCH(int, reg16);
        MainWindow &w = shared->w;
        combo(w, "comboBox")->setCurrentIndex(index);
        radio(w, fall ? "fall" : "rise")->setChecked(true);
        const QByteArray data = shared->applied();
        QCOMPARE(data.size(), 5);
        QCOMPARE(int(quint8(data.at(0))), reg16);
    }

    void delay_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("shown");
        QTest::newRow("0") << "0" << 0 << "0";
        QTest::newRow("-3.2") << "-3.2" << 0 << "0";
        QTest::newRow("10") << "10" << 2 << "12.8";
        QTest::newRow("19.2") << "19.2" << 3 << "19.2";
        QTest::newRow("1635") << "1635" << 255 << "1632";
        QTest::newRow("1632") << "1632" << 255 << "1632";
        QTest::newRow("-3.3") << "-3.3" << -1 << "-3.3";
        QTest::newRow("1640") << "1640" << -1 << "1640";
        QTest::newRow("text") << "ten" << -1 << "ten";
        QTest::newRow("empty") << "" << -1 << "";
        QTest::newRow("nan") << "nan" << -1 << "nan";
        QTest::newRow("inf") << "inf" << -1 << "inf";
        QTest::newRow("-inf") << "-inf" << -1 << "-inf";
    }

    void delay()
    {
        QFETCH(QString, text);
        QFETCH(int, code);
        QFETCH(QString, shown);
        MainWindow &w = shared->w;
        edit(w, "delay")->setText(text);
        if (code >= 0) {
            const QByteArray data = shared->applied();
            QCOMPARE(data.size(), 5);
            QCOMPARE(int(quint8(data.at(1))), code);
        } else {
            tabs(w)->setCurrentIndex(4); // nothing is sent while stopped
            ModalAnswerer answerer;
            answerer.answer(QMessageBox::Ok);
            QVERIFY(!A::applyTrigger(w));
            QCOMPARE(answerer.count(), 1);
            checkWarning(answerer.last(), QStringLiteral("Invalid Trigger Delay: ") + text);
            QCOMPARE(A::worker(w)->queuedRequests(), 0);
        }
        QCOMPARE(edit(w, "delay")->text(), shown);
    }

    void threshold_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("32767") << "32767" << true << QByteArray::fromHex("7fff");
        QTest::newRow("-32768") << "-32768" << true << QByteArray::fromHex("8000");
        QTest::newRow("-200") << "-200" << true << QByteArray::fromHex("ff38");
        QTest::newRow("256") << "256" << true << QByteArray::fromHex("0100");
        QTest::newRow("32768") << "32768" << false << QByteArray();
        QTest::newRow("-32769") << "-32769" << false << QByteArray();
        QTest::newRow("1.5") << "1.5" << false << QByteArray();
        QTest::newRow("hex") << "0x10" << false << QByteArray();
        QTest::newRow("nan") << "nan" << false << QByteArray();
        QTest::newRow("empty") << "" << false << QByteArray();
    }

    void threshold()
    {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        QFETCH(QByteArray, bytes);
        MainWindow &w = shared->w;
        edit(w, "Vth")->setText(text);
        edit(w, "delay")->setText(QStringLiteral("10"));
        combo(w, "comboBox")->setCurrentIndex(4);
        combo(w, "sampling")->setCurrentIndex(2);
        if (accepted) {
            const QByteArray data = shared->applied();
            QCOMPARE(data.size(), 5);
            QCOMPARE(data.mid(2, 2), bytes);
            return;
        }
        tabs(w)->setCurrentIndex(4);
        ModalAnswerer answerer;
        answerer.answer(QMessageBox::Ok);
        QVERIFY(!A::applyTrigger(w));
        QCOMPARE(answerer.count(), 1);
        checkWarning(answerer.last(), QStringLiteral("Invalid Trigger Vth: ") + text);
        QCOMPARE(A::worker(w)->queuedRequests(), 0);
        // What was checked before the threshold stays applied.
        QCOMPARE(edit(w, "delay")->text(), QStringLiteral("12.8"));
        QCOMPARE(A::worker(w)->registerValue(16), 0x12);
        QCOMPARE(A::worker(w)->registerValue(17), 2);
        QCOMPARE(A::samplingCode(w), quint8(2));
    }

    void samplingKeepsOtherBits_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("before");
        QTest::addColumn<int>("after");
        QTest::newRow("1/5 ns, signs set") << 3 << 0x0C << 0x0F;
        QTest::newRow("1 ns, all set") << 0 << 0xFF << 0xFC;
        QTest::newRow("1/2 ns") << 1 << 0x02 << 0x01;
    }

    void samplingKeepsOtherBits()
    {
        QFETCH(int, index);
        QFETCH(int, before);
        QFETCH(int, after);
        MainWindow &w = shared->w;
        QVERIFY(A::worker(w)->setRegister(20, quint8(before)));
        combo(w, "sampling")->setCurrentIndex(index);
        const QByteArray data = shared->applied();
        QCOMPARE(data.size(), 5);
        QCOMPARE(int(quint8(data.at(4))), after);
        QCOMPARE(A::samplingCode(w), quint8(index));
    }

    void noWorkerNoWrite()
    {
        MainWindow w(false, 1024);
        edit(w, "delay")->setText(QStringLiteral("bad"));
        QVERIFY(!A::applyTrigger(w)); // no box either: the answerer is not even needed
    }

    void sourceEnablesThresholdInputs()
    {
        MainWindow w(false, 1024);
        const char *names[] = {"Vth", "labelVth", "rise", "fall", "VthMonitor"};
        const int indexes[] = {2, 0, 17, 1, 3};
        for (int index : indexes) {
            combo(w, "comboBox")->setCurrentIndex(index);
            for (const char *name : names)
                QVERIFY2(ownEnabled(child<QWidget>(w, name)) == (index > 1), name);
        }
    }

    void refreshFromRegisters()
    {
        Rig rig;
        QVERIFY(rig.emu.start());
        MainWindow &w = rig.w;
        BoardEmulator &emu = rig.emu;
        emu.setRegister(4, 0x80);
        emu.setRegister(6, 0x80);
        emu.setRegister(16, 0x35);
        emu.setRegister(17, 3);
        emu.setRegister(18, 0xFF);
        emu.setRegister(19, 0x38);
        emu.setRegister(20, 0x0E);
        QVERIFY(rig.read());

        // Setup condition.
        QVERIFY(sameImage(child<QLabel>(w, "setupLED")->pixmap(), ":/images/led_green.png"));
        QVERIFY(sameImage(child<QLabel>(w, "idleLED")->pixmap(), ":/images/led_off.png"));
        QVERIFY(sameIcon(child<QPushButton>(w, "pushButton")->icon(), ":/images/up.png"));
        QVERIFY(!ownEnabled(child<QPushButton>(w, "reset")));
        QVERIFY(!ownEnabled(child<QGroupBox>(w, "trigger")));
        QVERIFY(A::setupCondition(w));
        // Trigger and sampling.
        QCOMPARE(combo(w, "comboBox")->currentText(), QStringLiteral("Ch.5"));
        QVERIFY(radio(w, "fall")->isChecked());
        QVERIFY(ownEnabled(edit(w, "Vth")));
        QCOMPARE(edit(w, "delay")->text(), QStringLiteral("19.2"));
        QCOMPARE(combo(w, "sampling")->currentIndex(), 2);
        QCOMPARE(A::samplingCode(w), quint8(2));
        QCOMPARE(edit(w, "Vth")->text(), QStringLiteral("-200"));
        // EEPROM tab.
        QCOMPARE(combo(w, "page")->currentIndex(), 2);
        QCOMPARE(child<QLabel>(w, "labelBoot")->text(), QStringLiteral("Current boot-page: 2"));
        QCOMPARE(combo(w, "sign0")->currentIndex(), 1);
        QCOMPARE(combo(w, "sign1")->currentIndex(), 1);
        QTableWidget *table = child<QTableWidget>(w, "tableWidget");
        QVERIFY(table->item(0, 0));
        QCOMPARE(table->item(0, 0)->text(), QStringLiteral("ch.5"));
        QVERIFY(table->item(0, 3));

        // Idle, channel 3 rising, the other extremes.
        emu.setRegister(4, 0x00);
        emu.setRegister(6, 0x40);
        emu.setRegister(16, 0x13);
        emu.setRegister(17, 255);
        emu.setRegister(18, 0x7F);
        emu.setRegister(19, 0xFF);
        emu.setRegister(20, 0x07);
        QVERIFY(rig.read());
        QVERIFY(sameImage(child<QLabel>(w, "idleLED")->pixmap(), ":/images/led_green.png"));
        QVERIFY(sameImage(child<QLabel>(w, "setupLED")->pixmap(), ":/images/led_off.png"));
        QVERIFY(sameIcon(child<QPushButton>(w, "pushButton")->icon(), ":/images/down.png"));
        QVERIFY(ownEnabled(child<QPushButton>(w, "reset")));
        QVERIFY(ownEnabled(child<QGroupBox>(w, "trigger")));
        QVERIFY(!A::setupCondition(w));
        QCOMPARE(combo(w, "comboBox")->currentText(), QStringLiteral("Ch.3"));
        QVERIFY(radio(w, "rise")->isChecked());
        QCOMPARE(edit(w, "delay")->text(), QStringLiteral("1632"));
        QCOMPARE(edit(w, "Vth")->text(), QStringLiteral("32767"));
        QCOMPARE(combo(w, "sampling")->currentIndex(), 3);
        QCOMPARE(combo(w, "page")->currentIndex(), 1);
        QCOMPARE(child<QLabel>(w, "labelBoot")->text(), QStringLiteral("Current boot-page: 1"));
        QCOMPARE(combo(w, "sign0")->currentIndex(), 1);
        QCOMPARE(combo(w, "sign1")->currentIndex(), 0);

        // NIM sources disable the threshold inputs; the input number is bit 0.
        const int nim[][2] = {{0x01, 1}, {0x20, 0}, {0x03, 1}, {0x0E, 0}, {0x05, 1}};
        for (const auto &c : nim) {
            emu.setRegister(16, quint8(c[0]));
            QVERIFY(rig.read());
            QCOMPARE(combo(w, "comboBox")->currentIndex(), c[1]);
            QCOMPARE(radio(w, "fall")->isChecked(), bool(c[0] & 0x20));
            QVERIFY(!ownEnabled(edit(w, "Vth")));
            QVERIFY(!ownEnabled(child<QPushButton>(w, "VthMonitor")));
        }
        // The board stays on that NIM input: 0x05 goes back as 0x01, not as a channel.
        QCOMPARE(rig.applied().left(1), QByteArray(1, '\x01'));
    }

    // A link error can arrive while a refusal box is open; the worker is
    // gone when the box returns.
    void linkErrorDuringRefusal()
    {
        Rig rig;
        QVERIFY(rig.read());
        MainWindow &w = rig.w;
        QPointer<QUdpThread> worker = A::worker(w);
        worker->setTimeout(1);
        worker->setRetry(1);
        tabs(w)->setCurrentIndex(1);
        edit(w, "delay")->setText(QStringLiteral("10"));
        edit(w, "Vth")->setText(QStringLiteral("vth"));

        ModalAnswerer answerer;
        QPointer<QMessageBox> refusal;
        answerer.answerWith([&](QWidget *box) { refusal = qobject_cast<QMessageBox *>(box); });
        answerer.answer(QMessageBox::Ok); // the link error

        QElapsedTimer clock;
        clock.start();
        QTimer closer;
        connect(&closer, &QTimer::timeout, this, [&] {
            if (!refusal || QApplication::activeModalWidget() != refusal)
                return;
            if ((!A::worker(w) && answerer.count() >= 2) || clock.elapsed() > 20000)
                refusal->button(QMessageBox::Ok)->click();
        });
        closer.start(20);
        rig.emu.setFault(BoardEmulator::DropReplies);
        QVERIFY(!A::applyTrigger(w));
        closer.stop();

        QCOMPARE(answerer.count(), 2);
        QCOMPARE(answerer.boxes().at(0).text, QStringLiteral("Invalid Trigger Vth: vth"));
        QVERIFY(answerer.boxes().at(1).text.endsWith(QStringLiteral("QTelvo: Socket operation timed out")));
        QVERIFY(!A::worker(w));
        QTRY_VERIFY_WITH_TIMEOUT(worker.isNull(), 5000);
        QCOMPARE(tabs(w)->currentIndex(), 0);
        QVERIFY(!A::applyTrigger(w));
    }
};

QTEST_MAIN(TestTrigger)
#include "tst_trigger.moc"
