// Registers tab: the DRS4 registers and DAC voltages that OK writes to the
// board (byte for byte in the emulator's log and in the register image), its
// refusals and questions, the refresh, and link errors during its writes.
#include "boardemulator.h"
#include "mainwindow.h"
#include "qudpthread.h"
#include "testsupport.h"
#include "windowrig.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <memory>

struct MainWindowAccess {
    static QUdpThread *worker(MainWindow &w) { return w.udpThread; }
    static QString errorText(MainWindow &w) { return w.errorText; }
};

namespace {

using A = MainWindowAccess;
using Request = BoardEmulator::Request;

QLineEdit *edit(MainWindow &w, const char *name) { return child<QLineEdit>(w, name); }
QTabWidget *tabs(MainWindow &w) { return child<QTabWidget>(w, "tabWidget"); }
QPushButton *button(MainWindow &w, const char *name) { return child<QPushButton>(w, name); }

const char *const Fields[] = {"config", "writeShift", "writeConfig", "adjust", "vROFS0",
                              "vROFS1", "vBIAS0",  "vBIAS1",      "vOOFS0", "vOOFS1"};

// Registers 32 to 47 of the board at the start of every case. Every DAC code
// here survives its 3-digit display (1.25, 0, 0.625).
const QByteArray Base = QByteArray::fromHex("0AB10CC8" "8000" "0000" "4000" "0000" "8000" "4000");

const QString Question = QStringLiteral("Are you sure you want to change the settings?");

void checkWarning(const BoxRecord &r, const QString &text)
{
    QCOMPARE(r.title, QString());
    QCOMPARE(r.text, text);
    QCOMPARE(r.icon, QMessageBox::Warning);
    QCOMPARE(r.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
}

void checkQuestion(const BoxRecord &r)
{
    QCOMPARE(r.title, QString());
    QCOMPARE(r.text, Question);
    QCOMPARE(r.icon, QMessageBox::Warning);
    QCOMPARE(r.buttons, QMessageBox::StandardButtons(QMessageBox::Ok | QMessageBox::Cancel));
    QCOMPARE(r.defaultButton, QMessageBox::Cancel);
}

QByteArray with(QByteArray bytes, int index, const QByteArray &part)
{
    bytes.replace(index, part.size(), part);
    return bytes;
}

// A board and a window that has read it and shows the Registers tab.
struct Rig {
    BoardEmulator emu;
    MainWindow w{false, 1024};

    QUdpThread *worker() { return A::worker(w); }

    bool read()
    {
        if (!emu.isRunning() && !emu.start())
            return false;
        tabs(w)->setCurrentIndex(0);
        return readBoard(w, emu);
    }

    // The board gets the base registers; the window reads them and shows the
    // Registers tab once the tab's own read has ended.
    bool openRegisters(const QByteArray &regs = Base)
    {
        if (!emu.isRunning() && !emu.start())
            return false;
        emu.clearFaults();
        for (int i = 0; i < regs.size(); ++i)
            emu.setRegister(32 + i, quint8(regs.at(i)));
        if (!read())
            return false;
        tabs(w)->setCurrentIndex(2);
        if (!QTest::qWaitFor([&] { return worker() && !worker()->isRunning(); }, 10000))
            return false;
        emu.clearRequests();
        return true;
    }

    // OK answered with the given buttons, in order.
    ModalAnswerer *pressOk(std::initializer_list<QMessageBox::StandardButton> answers)
    {
        auto *answerer = new ModalAnswerer;
        for (QMessageBox::StandardButton b : answers)
            answerer->answer(b);
        button(w, "ok")->click();
        return answerer;
    }

    // The single write OK sends, once it has arrived and the run has ended.
    QByteArray written()
    {
        QByteArray data;
        (void)QTest::qWaitFor([&] {
            const QList<Request> ws = writes(emu);
            if (!ws.isEmpty())
                data = ws.first().data;
            return !ws.isEmpty() && worker() && !worker()->isRunning();
        }, 10000);
        return data;
    }
};

std::unique_ptr<Rig> shared;

} // namespace

class TestRegisters : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        installFailOnWarnings();
        shared.reset(new Rig);
        QVERIFY(shared->emu.start());
    }

    void cleanupTestCase() { shared.reset(); }

    void init() { QVERIFY(shared->openRegisters()); }

    void refreshShowsImage_data()
    {
        QTest::addColumn<QByteArray>("regs");
        QTest::addColumn<QStringList>("texts");
        QTest::newRow("base") << Base
                              << QStringList{"0x0A", "0xB1", "0x0C", "200", "1.25",
                                             "0", "0.625", "0", "1.25", "0.625"};
        QTest::newRow("extremes")
            << QByteArray::fromHex("FF0000FF" "FFFF" "1234" "0001" "7FFF" "0000" "FFFF")
            << QStringList{"0xFF", "0x00", "0x00", "255", "2.5", "0.178", "3.81e-05", "1.25", "0", "2.5"};
    }

    // The tab switch shows the image; Cancel shows it again over any edits.
    void refreshShowsImage()
    {
        QFETCH(QByteArray, regs);
        QFETCH(QStringList, texts);
        Rig &rig = *shared;
        MainWindow &w = rig.w;
        QVERIFY(rig.openRegisters(regs));
        for (int i = 0; i < 10; ++i)
            QCOMPARE(edit(w, Fields[i])->text(), texts.at(i));
        QCOMPARE(edit(w, "timing")->text(), QStringLiteral("0"));

        for (const char *name : Fields)
            edit(w, name)->setText(QStringLiteral("edited"));
        button(w, "cancel")->click();
        for (int i = 0; i < 10; ++i)
            QCOMPARE(edit(w, Fields[i])->text(), texts.at(i));
        QTest::qWait(100);
        QVERIFY(rig.emu.requests().isEmpty());
    }

    void nothingChanges()
    {
        Rig &rig = *shared;
        std::unique_ptr<ModalAnswerer> answerer(rig.pressOk({QMessageBox::Ok}));
        QCOMPARE(answerer->count(), 1);
        checkWarning(answerer->last(), QStringLiteral("Nothing changes"));
        QTest::qWait(100);
        QVERIFY(rig.emu.requests().isEmpty());
        QCOMPARE(rig.worker()->registers().mid(32), Base);
    }

    void byteField_data()
    {
        QTest::addColumn<int>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("value"); // -1: refused
        QTest::newRow("config 0x1FF") << 0 << "0x1FF" << 0xFF;
        QTest::newRow("config 010 octal") << 0 << "010" << 8;
        QTest::newRow("config 65535") << 0 << "65535" << 0xFF;
        QTest::newRow("config 65536") << 0 << "65536" << -1;
        QTest::newRow("config 0") << 0 << "0" << 0;
        QTest::newRow("writeShift 0x0") << 1 << "0x0" << 0;
        QTest::newRow("writeShift 256") << 1 << "256" << 0;
        QTest::newRow("writeShift -1") << 1 << "-1" << -1;
        QTest::newRow("writeConfig 0XaB") << 2 << "0XaB" << 0xAB;
        QTest::newRow("writeConfig 09") << 2 << "09" << -1;
        QTest::newRow("writeConfig empty") << 2 << "" << -1;
        QTest::newRow("adjust 17") << 3 << "17" << 17;
        QTest::newRow("adjust 0x10") << 3 << "0x10" << 16;
        QTest::newRow("adjust 1.5") << 3 << "1.5" << -1;
        QTest::newRow("adjust text") << 3 << "ten" << -1;
        // Only hexadecimal, octal and decimal: a binary prefix is refused.
        QTest::newRow("config 0b101") << 0 << "0b101" << -1;
        QTest::newRow("writeShift 0B1") << 1 << "0B1" << -1;
        QTest::newRow("adjust +0b11") << 3 << " +0b11" << -1;
        QTest::newRow("adjust 0 padded") << 3 << " 017 " << 15;
    }

    void byteField()
    {
        QFETCH(int, field);
        QFETCH(QString, text);
        QFETCH(int, value);
        Rig &rig = *shared;
        MainWindow &w = rig.w;
        edit(w, Fields[field])->setText(text);
        static const char *const messages[] = {"DRS4 Config", "DRS4 Write Shift", "DRS4 Write Config",
                                               "DRS4 Adjust"};
        if (value < 0) {
            std::unique_ptr<ModalAnswerer> answerer(rig.pressOk({QMessageBox::Ok}));
            QCOMPARE(answerer->count(), 1);
            checkWarning(answerer->last(), QStringLiteral("Invalid value for %1: %2")
                                               .arg(QLatin1String(messages[field]), text));
            QTest::qWait(100);
            QVERIFY(rig.emu.requests().isEmpty());
            QCOMPARE(rig.worker()->registers().mid(32), Base);
            QCOMPARE(edit(w, Fields[field])->text(), text);
            return;
        }
        const QByteArray expected = with(Base, field, QByteArray(1, char(value)));
        std::unique_ptr<ModalAnswerer> answerer(rig.pressOk({QMessageBox::Ok}));
        QCOMPARE(answerer->count(), 1);
        checkQuestion(answerer->last());
        QCOMPARE(rig.written(), expected);
        const QList<Request> ws = writes(rig.emu);
        QCOMPARE(ws.size(), 1);
        QCOMPARE(ws.first().address, quint32(32));
        QCOMPARE(int(ws.first().length), 16);
        QVERIFY(!ws.first().busError);
        QCOMPARE(rig.emu.registers().mid(32), expected);
        QCOMPARE(rig.worker()->registers().mid(32), expected);
    }

    void dacField_data()
    {
        QTest::addColumn<int>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("code"); // -1: refused
        QTest::newRow("vROFS0 2.5") << 4 << "2.5" << -1;
        QTest::newRow("vROFS1 2.49997") << 5 << "2.49997" << -1;
        QTest::newRow("vBIAS0 2.49996") << 6 << "2.49996" << 65534;
        QTest::newRow("vROFS0 0") << 4 << "0" << 0;
        QTest::newRow("vBIAS1 -0.001") << 7 << "-0.001" << -1;
        QTest::newRow("vBIAS1 1.25") << 7 << "1.25" << 0x8000;
        QTest::newRow("vOOFS0 0.001") << 8 << "0.001" << 26;
        QTest::newRow("vOOFS0 1e-3") << 8 << "1e-3" << 26;
        QTest::newRow("vOOFS1 nan") << 9 << "nan" << -1;
        QTest::newRow("vOOFS1 NaN") << 9 << "NaN" << -1;
        QTest::newRow("vROFS1 inf") << 5 << "inf" << -1;
        QTest::newRow("vBIAS0 -inf") << 6 << "-inf" << -1;
        QTest::newRow("vOOFS1 empty") << 9 << "" << -1;
        QTest::newRow("vOOFS1 volts") << 9 << "1.2V" << -1;
        QTest::newRow("vROFS0 0.0000381") << 4 << "0.0000381" << 0;
        QTest::newRow("vROFS0 0.0000382") << 4 << "0.0000382" << 1;
    }

    void dacField()
    {
        QFETCH(int, field);
        QFETCH(QString, text);
        QFETCH(int, code);
        Rig &rig = *shared;
        MainWindow &w = rig.w;
        edit(w, Fields[field])->setText(text);
        static const char *const names[] = {"DRS4-0 V<ROFS>", "DRS4-1 V<ROFS>", "DRS4-0 V<BIAS>",
                                            "DRS4-1 V<BIAS>", "DRS4-0 V<OOFS>", "DRS4-1 V<OOFS>"};
        if (code < 0) {
            std::unique_ptr<ModalAnswerer> answerer(rig.pressOk({QMessageBox::Ok}));
            QCOMPARE(answerer->count(), 1);
            checkWarning(answerer->last(), QStringLiteral("Invalid value for %1 DAC: %2")
                                               .arg(QLatin1String(names[field - 4]), text));
            QTest::qWait(100);
            QVERIFY(rig.emu.requests().isEmpty());
            QCOMPARE(rig.worker()->registers().mid(32), Base);
            QCOMPARE(edit(w, Fields[field])->text(), text);
            return;
        }
        const int offset = 4 + 2 * (field - 4);
        QByteArray word;
        word.append(char(code >> 8)).append(char(code & 0xFF));
        const QByteArray expected = with(Base, offset, word);
        std::unique_ptr<ModalAnswerer> answerer(rig.pressOk({QMessageBox::Ok}));
        QCOMPARE(answerer->count(), 1);
        checkQuestion(answerer->last());
        QCOMPARE(rig.written(), expected);
        QCOMPARE(writes(rig.emu).size(), 1);
        QCOMPARE(rig.emu.registers().mid(32), expected);
        QCOMPARE(rig.worker()->registers().mid(32), expected);
    }

    // A code whose 3-digit display does not survive is kept while its field
    // is left as shown; a value typed in is truncated as ever (0.178 V is
    // 4666.1 codes: 0x123A).
    void roundedCodeKeptUnlessEdited()
    {
        Rig &rig = *shared;
        const QByteArray regs = with(Base, 8, QByteArray::fromHex("1234"));
        QVERIFY(rig.openRegisters(regs));
        QCOMPARE(edit(rig.w, "vBIAS0")->text(), QStringLiteral("0.178"));
        {
            std::unique_ptr<ModalAnswerer> answerer(rig.pressOk({QMessageBox::Ok}));
            QCOMPARE(answerer->count(), 1);
            checkWarning(answerer->last(), QStringLiteral("Nothing changes"));
            QTest::qWait(100);
            QVERIFY(rig.emu.requests().isEmpty());
        }

        edit(rig.w, "vBIAS1")->setText(QStringLiteral("0.178"));
        std::unique_ptr<ModalAnswerer> answerer(rig.pressOk({QMessageBox::Ok}));
        QCOMPARE(answerer->count(), 1);
        checkQuestion(answerer->last());
        const QByteArray expected = with(regs, 10, QByteArray::fromHex("123A"));
        QCOMPARE(rig.written(), expected);
        QCOMPARE(writes(rig.emu).size(), 1);
        QCOMPARE(rig.emu.registers().mid(32), expected);
        QCOMPARE(rig.worker()->registers().mid(32), expected);

        // Once another value has been written, typing the shown text back is
        // an edit again.
        answerer.reset();
        const std::pair<const char *, const char *> steps[] = {{"0.2", "147A"}, {"0.178", "123A"}};
        for (const auto &[volts, code] : steps) {
            rig.emu.clearRequests();
            edit(rig.w, "vBIAS0")->setText(QLatin1String(volts));
            answerer.reset(rig.pressOk({QMessageBox::Ok}));
            QCOMPARE(answerer->count(), 1);
            checkQuestion(answerer->last());
            QCOMPARE(rig.written().mid(8, 2), QByteArray::fromHex(code));
            answerer.reset();
        }
    }

    void untouchedDacKeepsCode_data()
    {
        QTest::addColumn<QString>("adjust"); // empty: no edit
        QTest::addColumn<bool>("boardChanged");
        QTest::newRow("no edit") << QString() << false;
        QTest::newRow("adjust only") << QStringLiteral("7") << false;
        QTest::newRow("board changed since shown") << QString() << true;
    }

    // DAC fields left as shown (1.56, 0.703, 1.24) keep the board's codes,
    // which their volts would give back as 0x9FBE, 0x47FC and 0x7EF9; also
    // when the tab's read brought a code the fields do not show.
    void untouchedDacKeepsCode()
    {
        QFETCH(QString, adjust);
        QFETCH(bool, boardChanged);
        Rig &rig = *shared;
        QByteArray regs = QByteArray::fromHex("0AB10CC8" "9F5C" "0000" "4800" "0000" "7F00" "4000");
        QVERIFY(rig.openRegisters(regs));
        if (boardChanged) {
            regs = with(regs, 8, QByteArray::fromHex("4000"));
            rig.emu.setRegister(40, 0x40);
            rig.emu.setRegister(41, 0x00);
            tabs(rig.w)->setCurrentIndex(3);
            tabs(rig.w)->setCurrentIndex(2);
            QTRY_COMPARE_WITH_TIMEOUT(rig.worker()->registers().mid(32), regs, 10000);
            QTRY_VERIFY(!rig.worker()->isRunning());
            rig.emu.clearRequests();
        }
        QCOMPARE(edit(rig.w, "vROFS0")->text(), QStringLiteral("1.56"));
        QCOMPARE(edit(rig.w, "vBIAS0")->text(), QStringLiteral("0.703"));
        QCOMPARE(edit(rig.w, "vOOFS0")->text(), QStringLiteral("1.24"));
        if (adjust.isEmpty()) {
            std::unique_ptr<ModalAnswerer> answerer(rig.pressOk({QMessageBox::Ok}));
            QCOMPARE(answerer->count(), 1);
            checkWarning(answerer->last(), QStringLiteral("Nothing changes"));
            QTest::qWait(100);
            QVERIFY(rig.emu.requests().isEmpty());
            QCOMPARE(rig.emu.registers().mid(32), regs);
            QCOMPARE(rig.worker()->registers().mid(32), regs);
            return;
        }
        edit(rig.w, "adjust")->setText(adjust);
        std::unique_ptr<ModalAnswerer> answerer(rig.pressOk({QMessageBox::Ok}));
        QCOMPARE(answerer->count(), 1);
        checkQuestion(answerer->last());
        const QByteArray expected = with(regs, 3, QByteArray(1, char(adjust.toInt())));
        QCOMPARE(rig.written(), expected);
        const QList<Request> ws = writes(rig.emu);
        QCOMPARE(ws.size(), 1);
        QCOMPARE(ws.first().address, quint32(32));
        QCOMPARE(int(ws.first().length), 16);
        QCOMPARE(ws.first().data, expected);
        QCOMPARE(rig.emu.registers().mid(32), expected);
        QCOMPARE(rig.worker()->registers().mid(32), expected);
    }

    // One edit, all sixteen registers in one request, nothing else written.
    void onlyVOOFS1WritesAllSixteen()
    {
        Rig &rig = *shared;
        edit(rig.w, "vOOFS1")->setText(QStringLiteral("2"));
        std::unique_ptr<ModalAnswerer> answerer(rig.pressOk({QMessageBox::Ok}));
        const QByteArray expected = with(Base, 14, QByteArray::fromHex("CCCC"));
        QCOMPARE(rig.written(), expected);
        const QList<Request> ws = writes(rig.emu);
        QCOMPARE(ws.size(), 1);
        QCOMPARE(ws.first().address, quint32(32));
        QCOMPARE(ws.first().data, expected);
        QCOMPARE(rig.emu.registers().mid(32), expected);
        // The rest of the board is untouched.
        QCOMPARE(rig.emu.registers().left(32), rig.worker()->registers().left(32));
    }

    void everyFieldAtOnce()
    {
        Rig &rig = *shared;
        const char *const texts[] = {"0x5A", "0377", "7", "99", "0.5", "1", "1.5", "2", "0.25", "0.75"};
        for (int i = 0; i < 10; ++i)
            edit(rig.w, Fields[i])->setText(QLatin1String(texts[i]));
        std::unique_ptr<ModalAnswerer> answerer(rig.pressOk({QMessageBox::Ok}));
        const QByteArray expected = QByteArray::fromHex("5AFF0763" "3333" "6666" "9999" "CCCC" "1999" "4CCC");
        QCOMPARE(rig.written(), expected);
        QCOMPARE(rig.emu.registers().mid(32), expected);
        QCOMPARE(rig.worker()->registers().mid(32), expected);
        // The fields keep the operator's text.
        for (int i = 0; i < 10; ++i)
            QCOMPARE(edit(rig.w, Fields[i])->text(), QLatin1String(texts[i]));
    }

    void cancelOnQuestion_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("Cancel") << false;
        QTest::newRow("Escape") << true;
    }

    void cancelOnQuestion()
    {
        QFETCH(bool, escape);
        Rig &rig = *shared;
        edit(rig.w, "config")->setText(QStringLiteral("0x33"));
        edit(rig.w, "vBIAS1")->setText(QStringLiteral("0.1"));
        ModalAnswerer answerer;
        if (escape)
            answerer.answerWith([](QWidget *box) { QTest::keyClick(box, Qt::Key_Escape); });
        else
            answerer.answer(QMessageBox::Cancel);
        button(rig.w, "ok")->click();
        QCOMPARE(answerer.count(), 1);
        checkQuestion(answerer.last());
        QTest::qWait(200);
        QVERIFY(rig.emu.requests().isEmpty());
        QCOMPARE(rig.emu.registers().mid(32), Base);
        QCOMPARE(rig.worker()->registers().mid(32), Base);
        QCOMPARE(rig.worker()->queuedRequests(), 0);
        QCOMPARE(edit(rig.w, "config")->text(), QStringLiteral("0x33"));
        QCOMPARE(edit(rig.w, "vBIAS1")->text(), QStringLiteral("0.1"));
    }

    void firstInvalidIsReported_data()
    {
        QTest::addColumn<QStringList>("texts"); // one per field, empty: keep
        QTest::addColumn<QString>("message");
        QTest::newRow("config before the DACs")
            << QStringList{"bad", "", "", "", "bad", "", "", "", "", ""}
            << "Invalid value for DRS4 Config: bad";
        QTest::newRow("writeConfig before vOOFS1")
            << QStringList{"0x11", "", "x", "", "", "", "", "", "", "-1"}
            << "Invalid value for DRS4 Write Config: x";
        QTest::newRow("vBIAS0 before vOOFS0")
            << QStringList{"1", "2", "3", "4", "0.5", "", "3", "", "nan", ""}
            << "Invalid value for DRS4-0 V<BIAS> DAC: 3";
        QTest::newRow("vOOFS1 last")
            << QStringList{"1", "2", "3", "4", "0.5", "0.6", "0.7", "0.8", "0.9", "inf"}
            << "Invalid value for DRS4-1 V<OOFS> DAC: inf";
    }

    // Every field is checked before any question; an invalid one writes
    // nothing, even after valid changes.
    void firstInvalidIsReported()
    {
        QFETCH(QStringList, texts);
        QFETCH(QString, message);
        Rig &rig = *shared;
        for (int i = 0; i < 10; ++i)
            if (!texts.at(i).isEmpty())
                edit(rig.w, Fields[i])->setText(texts.at(i));
        std::unique_ptr<ModalAnswerer> answerer(rig.pressOk({QMessageBox::Ok}));
        QCOMPARE(answerer->count(), 1);
        checkWarning(answerer->last(), message);
        QTest::qWait(100);
        QVERIFY(rig.emu.requests().isEmpty());
        QCOMPARE(rig.worker()->registers().mid(32), Base);
        QCOMPARE(rig.worker()->queuedRequests(), 0);
    }

    // OK while the read that the tab switch started is still going: the read
    // ends first and the write still happens, carrying the fields' values.
    void okWhileTabReadRuns()
    {
        Rig &rig = *shared;
        MainWindow &w = rig.w;
        tabs(w)->setCurrentIndex(0);
        rig.emu.setFault(BoardEmulator::DelayReplies, 300);
        rig.emu.setRegister(40, 0x12); // the board differs from what the tab shows
        tabs(w)->setCurrentIndex(2);
        edit(w, "vOOFS0")->setText(QStringLiteral("0.5"));
        bool runningAtQuestion = false;
        ModalAnswerer answerer;
        answerer.answerWith([&](QWidget *box) {
            runningAtQuestion = rig.worker()->isRunning();
            qobject_cast<QMessageBox *>(box)->button(QMessageBox::Ok)->click();
        });
        button(w, "ok")->click();
        QCOMPARE(answerer.count(), 1);
        QVERIFY(runningAtQuestion);
        const QByteArray expected = with(Base, 12, QByteArray::fromHex("3333"));
        QCOMPARE(rig.written(), expected);
        QCOMPARE(writes(rig.emu).size(), 1);
        QCOMPARE(rig.emu.registers().mid(32), expected);
        QCOMPARE(rig.worker()->registers().mid(32), expected);
        rig.emu.clearFaults();
    }

    // A write refused by the board or left unanswered ends in the link-error
    // handling: the warning, the worker discarded, the window locked.
    void writeFailureIsALinkError_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("tail");
        QTest::newRow("bus error") << int(BoardEmulator::BusError) << "QTelvo: Bus Error";
        QTest::newRow("no answer") << int(BoardEmulator::DropReplies) << "QTelvo: Socket operation timed out";
    }

    void writeFailureIsALinkError()
    {
        QFETCH(int, fault);
        QFETCH(QString, tail);
        Rig rig;
        QVERIFY(rig.openRegisters());
        MainWindow &w = rig.w;
        QPointer<QUdpThread> worker = rig.worker();
        worker->setTimeout(1);
        worker->setRetry(1);
        edit(w, "adjust")->setText(QStringLiteral("1"));
        rig.emu.setFault(BoardEmulator::Fault(fault));
        ModalAnswerer answerer;
        answerer.answer(QMessageBox::Ok); // the question
        answerer.answer(QMessageBox::Ok); // the link error
        button(w, "ok")->click();
        QVERIFY(answerer.waitForBoxes(2, 20000));
        checkQuestion(answerer.boxes().at(0));
        checkWarning(answerer.boxes().at(1), A::errorText(w));
        QVERIFY(A::errorText(w).endsWith(tail));
        QVERIFY(!A::worker(w));
        QTRY_VERIFY_WITH_TIMEOUT(worker.isNull(), 5000);
        QCOMPARE(tabs(w)->currentIndex(), 0);
        for (int i = 1; i <= 4; ++i)
            QVERIFY(!tabs(w)->isTabEnabled(i));
        QVERIFY(button(w, "read")->isEnabled());
        // The write did reach the board (and was refused or done unanswered).
        const QList<Request> ws = writes(rig.emu);
        QVERIFY(!ws.isEmpty());
        QCOMPARE(ws.first().address, quint32(32));
        QCOMPARE(ws.first().data, with(Base, 3, QByteArray(1, 1)));
        QCOMPARE(ws.first().busError, fault == BoardEmulator::BusError);
        QCOMPARE(rig.emu.registers().at(35), char(fault == BoardEmulator::BusError ? 0xC8 : 1));
    }

    // The tab's read fails while the question is open: the worker is gone
    // when the box returns, and nothing is written.
    void linkErrorDuringQuestion()
    {
        Rig rig;
        QVERIFY(rig.openRegisters());
        MainWindow &w = rig.w;
        QPointer<QUdpThread> worker = rig.worker();
        worker->setTimeout(1);
        worker->setRetry(1);
        tabs(w)->setCurrentIndex(0);
        rig.emu.setFault(BoardEmulator::DropReplies);
        tabs(w)->setCurrentIndex(2);
        edit(w, "config")->setText(QStringLiteral("0x01"));

        ModalAnswerer answerer;
        QPointer<QMessageBox> question;
        answerer.answerWith([&](QWidget *box) { question = qobject_cast<QMessageBox *>(box); });
        answerer.answer(QMessageBox::Ok); // the link error
        QElapsedTimer clock;
        clock.start();
        QTimer closer;
        connect(&closer, &QTimer::timeout, this, [&] {
            if (!question || QApplication::activeModalWidget() != question)
                return;
            if ((!A::worker(w) && answerer.count() >= 2) || clock.elapsed() > 20000)
                question->button(QMessageBox::Ok)->click();
        });
        closer.start(20);
        button(w, "ok")->click();
        closer.stop();

        QCOMPARE(answerer.count(), 2);
        checkQuestion(answerer.boxes().at(0));
        QVERIFY(answerer.boxes().at(1).text.endsWith(QStringLiteral("QTelvo: Socket operation timed out")));
        QVERIFY(!A::worker(w));
        QTRY_VERIFY_WITH_TIMEOUT(worker.isNull(), 5000);
        QVERIFY(writes(rig.emu).isEmpty());
        QCOMPARE(rig.emu.registers().mid(32), Base);
        QCOMPARE(tabs(w)->currentIndex(), 0);
        QCOMPARE(w.statusBar()->currentMessage(), QStringLiteral(" Register settings not written: the board link was lost"));
    }
};

QTEST_MAIN(TestRegisters)
#include "tst_registers.moc"
