// EEPROM tab: saving the register settings with the sign-extension choices
// into a page (byte for byte in the emulator's log and EEPROM), the read-back
// and refreshed table, the sign cells, and failures of the save.
#include "boardemulator.h"
#include "mainwindow.h"
#include "qudpthread.h"
#include "testsupport.h"
#include "windowrig.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <memory>

struct MainWindowAccess {
    static QUdpThread *worker(MainWindow &w) { return w.udpThread; }
    static QString errorText(MainWindow &w) { return w.errorText; }
};

namespace {

using A = MainWindowAccess;
using Request = BoardEmulator::Request;

QTabWidget *tabs(MainWindow &w) { return child<QTabWidget>(w, "tabWidget"); }
QComboBox *combo(MainWindow &w, const char *name) { return child<QComboBox>(w, name); }
QPushButton *button(MainWindow &w, const char *name) { return child<QPushButton>(w, name); }
QTableWidget *table(MainWindow &w) { return child<QTableWidget>(w, "tableWidget"); }

const QString Question = QStringLiteral("Are you sure you want to save to EEPROM?");

// Registers 16 to 47 of the board, register 20 (byte 4) set per case.
QByteArray boardSettings(quint8 sampling)
{
    QByteArray p = QByteArray::fromHex("3503FF38" "00" "1516171819" "1A1B1C1D1E1F"
                                       "0AB10CC8" "8000" "0000" "4000" "1234" "8000" "4000");
    p[4] = char(sampling);
    return p;
}

QString cellText(MainWindow &w, int row, int column)
{
    QTableWidgetItem *item = table(w)->item(row, column);
    return item ? item->text() : QStringLiteral("<none>");
}

// The ten writes of one save into a page: open, eight 4-byte writes, close.
void checkSaveWrites(const QList<Request> &ws, int page, const QByteArray &bytes)
{
    QCOMPARE(ws.size(), 10);
    QCOMPARE(ws.at(0).address, quint32(5));
    QCOMPARE(ws.at(0).data, QByteArray(1, char(0x80)));
    for (int k = 0; k < 8; ++k) {
        QCOMPARE(ws.at(1 + k).address, quint32(0x80 + 32 * page + 4 * k));
        QCOMPARE(ws.at(1 + k).data, bytes.mid(4 * k, 4));
        QVERIFY(!ws.at(1 + k).busError);
    }
    QCOMPARE(ws.at(9).address, quint32(5));
    QCOMPARE(ws.at(9).data, QByteArray(1, char(0)));
}

struct Rig {
    BoardEmulator emu;
    MainWindow w{false, 1024};

    QUdpThread *worker() { return A::worker(w); }

    // The board with its settings, boot page and four distinct pages, read
    // by the window, which then shows the EEPROM tab.
    bool openEeprom(quint8 sampling, int bootPage)
    {
        if (!emu.isRunning() && !emu.start())
            return false;
        emu.clearFaults();
        const QByteArray settings = boardSettings(sampling);
        for (int i = 0; i < settings.size(); ++i)
            emu.setRegister(16 + i, quint8(settings.at(i)));
        emu.setRegister(6, quint8(bootPage << 6));
        for (int n = 0; n < 4; ++n)
            emu.setEepromPage(n, QByteArray(32, char(0x40 + n)));
        tabs(w)->setCurrentIndex(0);
        if (!readBoard(w, emu))
            return false;
        tabs(w)->setCurrentIndex(3);
        emu.clearRequests();
        return worker() && !worker()->isRunning();
    }

    // Waits until the save's report has refreshed the table's page column.
    bool saved(int page)
    {
        return QTest::qWaitFor([&] {
            return worker() && !worker()->isRunning()
                && cellText(w, 7, page + 1) == QLatin1String("0x0A");
        }, 10000);
    }
};

} // namespace

class TestEeprom : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { installFailOnWarnings(); }

    void signCells()
    {
        Rig rig;
        QVERIFY(rig.openEeprom(0x08, 0));
        MainWindow &w = rig.w;
        QCOMPARE(combo(w, "sign0")->currentIndex(), 0);
        QCOMPARE(combo(w, "sign1")->currentIndex(), 1);
        QCOMPARE(cellText(w, 5, 0), QStringLiteral("OFF"));
        QCOMPARE(cellText(w, 6, 0), QStringLiteral("ON"));

        combo(w, "sign1")->setCurrentIndex(0);
        QCOMPARE(cellText(w, 6, 0), QStringLiteral("OFF"));
        combo(w, "sign0")->setCurrentIndex(1);
        QCOMPARE(cellText(w, 5, 0), QStringLiteral("ON"));
        combo(w, "sign1")->setCurrentIndex(1);
        QCOMPARE(cellText(w, 6, 0), QStringLiteral("ON"));
        for (int row : {5, 6}) {
            QTableWidgetItem *item = table(w)->item(row, 0);
            QCOMPARE(item->textAlignment(), int(Qt::AlignCenter));
            QCOMPARE(item->type(), int(QTableWidgetItem::Type));
        }
        // Only the cell shows the choice: no write, the image as read.
        QCOMPARE(rig.worker()->registerValue(20), 0x08);
        QTest::qWait(100);
        QVERIFY(rig.emu.requests().isEmpty());

        // The next fill shows the image again.
        tabs(w)->setCurrentIndex(4);
        tabs(w)->setCurrentIndex(3);
        QCOMPARE(cellText(w, 5, 0), QStringLiteral("OFF"));
        QCOMPARE(cellText(w, 6, 0), QStringLiteral("ON"));
    }

    void save_data()
    {
        QTest::addColumn<int>("bootPage");
        QTest::addColumn<int>("page");
        QTest::addColumn<int>("sign0");
        QTest::addColumn<int>("sign1");
        QTest::addColumn<int>("sampling"); // board register 20
        QTest::addColumn<int>("saved");    // page byte 4
        QTest::newRow("page 1, ADC0 on, ADC1 off") << 0 << 1 << 1 << 0 << 0x09 << 0x05;
        QTest::newRow("page 2, ADC1 only") << 0 << 2 << 0 << 1 << 0x06 << 0x0A;
        QTest::newRow("page 3, both off") << 3 << 3 << 0 << 0 << 0xFE << 0xF2;
        QTest::newRow("page 0, both on") << 2 << 0 << 1 << 1 << 0x01 << 0x0D;
        QTest::newRow("boot page kept") << 2 << -1 << 0 << 0 << 0x03 << 0x03;
    }

    void save()
    {
        QFETCH(int, bootPage);
        QFETCH(int, page);
        QFETCH(int, sign0);
        QFETCH(int, sign1);
        QFETCH(int, sampling);
        QFETCH(int, saved);
        Rig rig;
        QVERIFY(rig.openEeprom(quint8(sampling), bootPage));
        MainWindow &w = rig.w;
        // The page choice starts at the boot page.
        QCOMPARE(combo(w, "page")->currentIndex(), bootPage);
        if (page < 0)
            page = bootPage;
        combo(w, "page")->setCurrentIndex(page);
        combo(w, "sign0")->setCurrentIndex(sign0);
        combo(w, "sign1")->setCurrentIndex(sign1);

        ModalAnswerer answerer;
        answerer.answer(QMessageBox::Ok);
        button(w, "saveROM")->click();
        QCOMPARE(answerer.count(), 1);
        const BoxRecord q = answerer.last();
        QCOMPARE(q.title, QString());
        QCOMPARE(q.text, Question);
        QCOMPARE(q.icon, QMessageBox::Warning);
        QCOMPARE(q.buttons, QMessageBox::StandardButtons(QMessageBox::Ok | QMessageBox::Cancel));
        QCOMPARE(q.defaultButton, QMessageBox::Cancel);
        QVERIFY(rig.saved(page));

        QByteArray expected = boardSettings(quint8(sampling));
        expected[4] = char(saved);
        checkSaveWrites(writes(rig.emu), page, expected);
        // Read back after the close.
        const QList<Request> log = rig.emu.requests();
        int closeAt = -1, readAt = -1;
        for (int i = 0; i < log.size(); ++i) {
            if (log.at(i).write && log.at(i).address == 5 && log.at(i).data == QByteArray(1, 0))
                closeAt = i;
            if (!log.at(i).write && log.at(i).address == quint32(0x80 + 32 * page) && log.at(i).length == 32
                && readAt < 0)
                readAt = i;
        }
        QVERIFY(closeAt >= 0);
        QVERIFY(readAt > closeAt);

        QCOMPARE(rig.emu.eepromPage(page), expected);
        QCOMPARE(rig.worker()->eepromPage(page), expected);
        for (int n = 0; n < 4; ++n)
            if (n != page)
                QCOMPARE(rig.emu.eepromPage(n), QByteArray(32, char(0x40 + n)));
        QCOMPARE(int(rig.emu.reg(5)), 0);
        // The registers themselves keep their sign bits.
        QCOMPARE(int(rig.emu.reg(20)), sampling);
        QCOMPARE(rig.worker()->registerValue(20), sampling);

        // The refreshed table shows the saved page.
        const int column = page + 1;
        QCOMPARE(cellText(w, 0, column), QStringLiteral("ch.5"));
        QCOMPARE(cellText(w, 3, column), QStringLiteral("19.2ns"));
        static const char *const rates[] = {"1ns", "1/2ns", "1/3ns", "1/5ns"};
        QCOMPARE(cellText(w, 4, column), QLatin1String(rates[saved & 3]));
        QCOMPARE(cellText(w, 5, column), QLatin1String(sign0 ? "ON" : "OFF"));
        QCOMPARE(cellText(w, 6, column), QLatin1String(sign1 ? "ON" : "OFF"));
        QCOMPARE(cellText(w, 10, column), QStringLiteral("200"));
        QCOMPARE(cellText(w, 14, column), QStringLiteral("0.178V"));
        // Column 0 shows the image again.
        QCOMPARE(cellText(w, 5, 0), QLatin1String((sampling & 4) ? "ON" : "OFF"));
        QCOMPARE(cellText(w, 6, 0), QLatin1String((sampling & 8) ? "ON" : "OFF"));
    }

    void cancelWritesNothing()
    {
        Rig rig;
        QVERIFY(rig.openEeprom(0x00, 1));
        MainWindow &w = rig.w;
        combo(w, "sign0")->setCurrentIndex(1);
        ModalAnswerer answerer;
        answerer.answer(QMessageBox::Cancel);
        button(w, "saveROM")->click();
        QCOMPARE(answerer.count(), 1);
        QCOMPARE(answerer.last().text, Question);
        QTest::qWait(200);
        QVERIFY(rig.emu.requests().isEmpty());
        for (int n = 0; n < 4; ++n)
            QCOMPARE(rig.emu.eepromPage(n), QByteArray(32, char(0x40 + n)));
        QVERIFY(!rig.worker()->isRunning());
        QCOMPARE(cellText(w, 5, 0), QStringLiteral("ON"));
    }

    // A second save pressed while the first still runs waits for it: both
    // pages are written whole, one after the other.
    void saveWhileSaveRuns()
    {
        Rig rig;
        QVERIFY(rig.openEeprom(0x01, 0));
        MainWindow &w = rig.w;
        rig.emu.setFault(BoardEmulator::DelayReplies, 100);
        combo(w, "page")->setCurrentIndex(1);
        combo(w, "sign0")->setCurrentIndex(1);
        ModalAnswerer answerer;
        answerer.answer(QMessageBox::Ok);
        button(w, "saveROM")->click();
        QVERIFY(rig.worker()->isRunning());

        combo(w, "page")->setCurrentIndex(2);
        combo(w, "sign0")->setCurrentIndex(0);
        combo(w, "sign1")->setCurrentIndex(1);
        bool runningAtQuestion = false;
        answerer.answerWith([&](QWidget *box) {
            runningAtQuestion = rig.worker()->isRunning();
            qobject_cast<QMessageBox *>(box)->button(QMessageBox::Ok)->click();
        });
        button(w, "saveROM")->click();
        QVERIFY(runningAtQuestion);
        QVERIFY(rig.saved(2));
        QVERIFY(rig.saved(1));

        QByteArray first = boardSettings(0x01);
        first[4] = char(0x05);
        QByteArray second = boardSettings(0x01);
        second[4] = char(0x09);
        const QList<Request> ws = writes(rig.emu);
        QCOMPARE(ws.size(), 20);
        checkSaveWrites(ws.mid(0, 10), 1, first);
        checkSaveWrites(ws.mid(10, 10), 2, second);
        QCOMPARE(rig.emu.eepromPage(1), first);
        QCOMPARE(rig.emu.eepromPage(2), second);
        QCOMPARE(int(rig.emu.reg(5)), 0);
        rig.emu.clearFaults();
    }

    // Closing the window while a save or network write runs on a slow board
    // lets it finish (the page whole and the EEPROM gate shut, or the write
    // protect back on), and a save confirmed behind it too; it says so, and
    // the window then closes by itself.
    void closeWhileWriting_data()
    {
        QTest::addColumn<bool>("network");
        QTest::addColumn<bool>("secondSave");
        QTest::newRow("save") << false << false;
        QTest::newRow("network settings") << true << false;
        QTest::newRow("save waiting behind a save") << false << true;
    }

    void closeWhileWriting()
    {
        QFETCH(bool, network);
        QFETCH(bool, secondSave);
        Rig rig;
        QVERIFY(rig.openEeprom(0x00, 1));
        MainWindow &w = rig.w;
        w.show();
        ModalAnswerer answerer; // any box but the question fails the test
        rig.emu.setFault(BoardEmulator::DelayReplies, 200);
        if (network) {
            tabs(w)->setCurrentIndex(0);
            child<QLineEdit>(w, "newAddr")->setText(QStringLiteral("127.1.2.33"));
            child<QLineEdit>(w, "newTcp")->setText(QStringLiteral("24"));
            child<QLineEdit>(w, "newUdp")->setText(QStringLiteral("4660"));
            button(w, "write")->click();
        } else {
            combo(w, "page")->setCurrentIndex(1);
            answerer.answer(QMessageBox::Ok);
            button(w, "saveROM")->click();
        }
        if (secondSave) {
            combo(w, "page")->setCurrentIndex(2);
            answerer.answer(QMessageBox::Ok);
            button(w, "saveROM")->click();
        }
        QTRY_VERIFY_WITH_TIMEOUT(!writes(rig.emu).isEmpty(), 10000);
        w.close();
        QVERIFY(w.isVisible());
        QCOMPARE(w.statusBar()->currentMessage(), QStringLiteral(" finishing the write to the board, then closing..."));
        QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), 30000);
        if (network) {
            QCOMPARE(rig.emu.infoBlock().mid(8, 4), QByteArray::fromHex("7f010221"));
            QCOMPARE(int(rig.emu.writeProtect()), 0xFF);
        } else {
            const QList<Request> ws = writes(rig.emu);
            QCOMPARE(ws.size(), secondSave ? 20 : 10);
            checkSaveWrites(ws.mid(0, 10), 1, boardSettings(0x00));
            QCOMPARE(rig.emu.eepromPage(1), boardSettings(0x00));
            if (secondSave) {
                checkSaveWrites(ws.mid(10), 2, boardSettings(0x00));
                QCOMPARE(rig.emu.eepromPage(2), boardSettings(0x00));
            }
            QCOMPARE(int(rig.emu.reg(5)), 0);
        }
        rig.emu.clearFaults();
    }

    void saveFailureIsALinkError_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("tail");
        QTest::newRow("bus error") << int(BoardEmulator::BusError) << "QTelvo: Bus Error";
        QTest::newRow("no answer") << int(BoardEmulator::DropReplies) << "QTelvo: Socket operation timed out";
    }

    void saveFailureIsALinkError()
    {
        QFETCH(int, fault);
        QFETCH(QString, tail);
        Rig rig;
        QVERIFY(rig.openEeprom(0x00, 0));
        MainWindow &w = rig.w;
        QPointer<QUdpThread> worker = rig.worker();
        worker->setTimeout(1);
        worker->setRetry(1);
        rig.emu.setFault(BoardEmulator::Fault(fault));
        ModalAnswerer answerer;
        answerer.answer(QMessageBox::Ok); // the question
        answerer.answer(QMessageBox::Ok); // the link error
        button(w, "saveROM")->click();
        QVERIFY(answerer.waitForBoxes(2, 20000));
        QCOMPARE(answerer.boxes().at(0).text, Question);
        const BoxRecord e = answerer.boxes().at(1);
        QCOMPARE(e.title, QString());
        QCOMPARE(e.icon, QMessageBox::Warning);
        QCOMPARE(e.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(e.text, A::errorText(w));
        QVERIFY(e.text.endsWith(tail));
        QVERIFY(!A::worker(w));
        QTRY_VERIFY_WITH_TIMEOUT(worker.isNull(), 5000);
        QCOMPARE(tabs(w)->currentIndex(), 0);
        for (int i = 1; i <= 4; ++i)
            QVERIFY(!tabs(w)->isTabEnabled(i));
        // The first request, opening the page write, is the one that failed.
        const QList<Request> ws = writes(rig.emu);
        QVERIFY(!ws.isEmpty());
        QCOMPARE(ws.first().address, quint32(5));
        for (const Request &r : ws)
            QCOMPARE(r.address, quint32(5));
        for (int n = 0; n < 4; ++n)
            QCOMPARE(rig.emu.eepromPage(n), QByteArray(32, char(0x40 + n)));
        // The EEPROM gate is not left open.
        QTRY_COMPARE(int(rig.emu.reg(5)), 0);
    }
};

QTEST_MAIN(TestEeprom)
#include "tst_eeprom.moc"
