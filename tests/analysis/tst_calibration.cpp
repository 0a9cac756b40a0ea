// Offset calibration: the dialog's form, runs and their edge cases, the
// correction, and the whole road through the real window against the board
// emulator on 127.0.0.1 (a quiet calibration run, recording with
// "Offset Correction", a dialog opened while the correction is on).
//
// The offset table is process-wide and never emptied, so the test functions
// run in the order they are declared: the first ones see no table yet.
#include "boardemulator.h"
#include "calibrationtest.h"
#include "mainwindow.h"
#include "qtcpthread.h"
#include "testsupport.h"
#include "ui_calibrationdialog.h"
#include "ui_mainwindow.h"
#include "windowrig.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QMap>
#include <QSet>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

struct MainWindowAccess {
    static Ui_MainWindow *ui(MainWindow &w) { return w.ui; }
    static QTcpThread *stream(MainWindow &w) { return w.tcpThread; }
    static int calibrationMode(MainWindow &w) { return w.calibrationMode; }
};

namespace {

using A = MainWindowAccess;
using D = CalibrationDialogAccess;
using namespace calib;

// The window after Read against the emulator, on the Operation tab; every
// event reaching newData is kept.
struct Rig {
    Rig() : w(false, 1024)
    {
        QObject::connect(&w, &MainWindow::newData, &w, [this](QByteArray *d, int) { events << *d; });
    }

    bool open()
    {
        if (!emu.start() || !readBoard(w, emu))
            return false;
        Ui_MainWindow *ui = A::ui(w);
        ui->tabWidget->setCurrentIndex(1);
        return true;
    }

    Ui_MainWindow *ui() { return A::ui(w); }
    bool stopped() { return !A::stream(w) && w.statusBar()->currentMessage() == QLatin1String(" stopped"); }

    // Presses "Calibration" and hands the modal dialog to f; the dialog is
    // closed afterwards with the window's close button.
    void runDialog(const std::function<void(CalibrationDialog &)> &f)
    {
        answerer.answerWith([&](QWidget *dlg) {
            auto *d = qobject_cast<CalibrationDialog *>(dlg);
            QVERIFY(d);
            f(*d);
        });
        ui()->calibration->click();
    }

    BoardEmulator emu;
    MainWindow w;
    ModalAnswerer answerer;
    QList<QByteArray> events;
};

// Presses Run with the given average count.
void run(CalibrationDialog &d, const QString &count)
{
    D::ui(d)->lineEditAverageCount->setText(count);
    D::ui(d)->btnCalibrationRun->click();
}

// The value each sample of the calibration pattern carries in a cell.
qint16 pattern(int c, int cell)
{
    return qint16((c * 977 + cell * 131) % 4001 - 2000);
}

// Completes an N = 1 run whose offsets are the table f.
void calibrate(CalibrationDialog &d, const std::function<qint16(int, int)> &f)
{
    run(d, QStringLiteral("1"));
    D::feed(d, makeBlock(0, [&](int c, int, int cell) { return f(c, cell); }));
    D::feed(d, makeBlock(512, [&](int c, int, int cell) { return f(c, cell); }));
}

} // namespace

class TestCalibration : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { installFailOnWarnings(); }

    // Before any table: "Offset Correction" stays disabled, also after a
    // stream and after a dialog left without a run; the mode returns to 0
    // and the correction leaves blocks alone.
    void noTableYet()
    {
        QVERIFY(!CalibrationDialog::isCalibrated());
        Rig r;
        QVERIFY(r.open());
        QVERIFY(!r.ui()->usingCalibration->isEnabled());
        r.ui()->single->click();
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 10000);
        QCOMPARE(r.events.size(), 1);
        QVERIFY(!r.ui()->usingCalibration->isEnabled());

        int modeInside = -1;
        r.runDialog([&](CalibrationDialog &d) {
            modeInside = A::calibrationMode(r.w);
            QCOMPARE(d.parentWidget(), static_cast<QWidget *>(&r.w));
            QVERIFY(d.isModal());
            QCOMPARE(buttons(d), QStringLiteral("10011"));
            QCOMPARE(D::ui(d)->lineEditFile->text(), QString());
        });
        QCOMPARE(r.answerer.count(), 1);
        QCOMPARE(modeInside, 2);
        QCOMPARE(A::calibrationMode(r.w), 0);
        QVERIFY(!r.ui()->usingCalibration->isEnabled());

        QByteArray b = makeBlock(7, [](int c, int k, int) { return qint16(c * 1000 + k); });
        const QByteArray before = b;
        CalibrationDialog::applyCalibration(&b);
        QCOMPARE(b, before);
    }

    // The form: rows, sizes, captions, initial states, no default button, tab order.
    void form()
    {
        CalibrationDialog d;
        Ui_CalibrationDialog *ui = D::ui(d);
        QCOMPARE(d.objectName(), QStringLiteral("CalibrationDialog"));
        QCOMPARE(d.windowTitle(), QStringLiteral("Calibration"));
        QCOMPARE(d.size(), QSize(398, 163));
        QVERIFY(!(d.windowFlags() & Qt::WindowContextHelpButtonHint));

        auto *v = qobject_cast<QVBoxLayout *>(d.layout());
        QVERIFY(v);
        QCOMPARE(v->objectName(), QStringLiteral("verticalLayout"));
        const QList<QStringList> rows = {
            {"horizontalLayout_4", "label", "lineEditAverageCount", "", "btnCalibrationRun"},
            {"horizontalLayout_2", "progressBar", "btnCancel"},
            {"horizontalLayout_3", "", "label_2", "labelTriggerCount", "btnSave"},
            {"horizontalLayout", "label_3", "lineEditFile", "btnFile", "btnLoad"},
        };
        QCOMPARE(v->count(), rows.size());
        for (int i = 0; i < rows.size(); ++i) {
            QLayout *row = v->itemAt(i)->layout();
            QVERIFY(qobject_cast<QHBoxLayout *>(row));
            QCOMPARE(row->objectName(), rows[i][0]);
            QCOMPARE(row->count(), rows[i].size() - 1);
            for (int j = 1; j < rows[i].size(); ++j) {
                QLayoutItem *item = row->itemAt(j - 1);
                if (rows[i][j].isEmpty())
                    QVERIFY(item->spacerItem());
                else
                    QCOMPARE(item->widget() ? item->widget()->objectName() : QString(), rows[i][j]);
            }
        }

        QCOMPARE(ui->label->text(), QStringLiteral("Average Count"));
        QCOMPARE(ui->label_2->text(), QStringLiteral("Trigger Count :"));
        QCOMPARE(ui->label_3->text(), QStringLiteral("Load:"));
        QCOMPARE(ui->btnCalibrationRun->text(), QStringLiteral("Calibration Run"));
        QCOMPARE(ui->btnCancel->text(), QStringLiteral("Cancel"));
        QCOMPARE(ui->btnSave->text(), QStringLiteral("Save"));
        QCOMPARE(ui->btnFile->text(), QStringLiteral("..."));
        QCOMPARE(ui->btnLoad->text(), QStringLiteral("Load"));
        QCOMPARE(ui->lineEditAverageCount->text(), QString());
        QCOMPARE(ui->labelTriggerCount->text(), QString());
        QCOMPARE(ui->lineEditAverageCount->maximumWidth(), 80);
        QCOMPARE(ui->btnFile->maximumWidth(), 30);
        QCOMPARE(ui->labelTriggerCount->minimumWidth(), 60);
        for (QPushButton *b : {ui->btnCalibrationRun, ui->btnCancel, ui->btnSave})
            QCOMPARE(b->minimumWidth(), 120);
        QCOMPARE(ui->progressBar->minimum(), 0);
        QCOMPARE(ui->progressBar->maximum(), 100);
        QCOMPARE(ui->progressBar->value(), 0);
        QVERIFY(!ui->progressBar->isTextVisible());
        for (QPushButton *b : d.findChildren<QPushButton *>()) {
            QVERIFY2(!b->autoDefault(), qPrintable(b->objectName()));
            QVERIFY2(!b->isDefault(), qPrintable(b->objectName()));
        }

        const QList<QWidget *> order = {ui->lineEditAverageCount, ui->btnCalibrationRun, ui->btnCancel, ui->btnSave,
                                        ui->lineEditFile, ui->btnFile, ui->btnLoad};
        for (int i = 0; i + 1 < order.size(); ++i) {
            QWidget *next = order[i]->nextInFocusChain();
            while (!(next->focusPolicy() & Qt::TabFocus))
                next = next->nextInFocusChain();
            QCOMPARE(next, order[i + 1]);
        }

        // Return in the count field presses nothing.
        QSignalSpy started(&d, &CalibrationDialog::start);
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        ui->lineEditAverageCount->setText(QStringLiteral("5"));
        ui->lineEditAverageCount->setFocus();
        QTest::keyClick(ui->lineEditAverageCount, Qt::Key_Return);
        QVERIFY(d.isVisible());
        QCOMPARE(started.count(), 0);
        QVERIFY(ui->btnCalibrationRun->isEnabled());
    }

    // Refused average counts: the message, the buttons and a run in
    // progress left as they were; events before an accepted Run are ignored.
    void averageCountRefused()
    {
        CalibrationDialog d;
        ModalAnswerer answerer;
        QSignalSpy started(&d, &CalibrationDialog::start);
        const QByteArray any = makeBlock(0, [](int, int, int) { return qint16(5); });
        D::feed(d, any);
        QCOMPARE(D::triggerCount(d), 0);
        QCOMPARE(D::ui(d)->labelTriggerCount->text(), QString());

        const QStringList bad = {"0", "-3", "", "abc", "12x", "2147483648"};
        for (const QString &text : bad) {
            answerer.answer(QMessageBox::Ok);
            run(d, text);
            QCOMPARE(answerer.count(), 1);
            checkBox(answerer.last(), QStringLiteral("Invalid Average Count"));
            answerer.clear();
            QCOMPARE(buttons(d), QStringLiteral("10011"));
            QCOMPARE(started.count(), 0);
            D::feed(d, any);
            QCOMPARE(D::triggerCount(d), 0);
        }

        QSignalSpy stopped(&d, &CalibrationDialog::stop);
        run(d, QStringLiteral("1"));
        QCOMPARE(started.count(), 1);
        QCOMPARE(buttons(d), QStringLiteral("01000"));
        D::feed(d, any);
        QCOMPARE(D::ui(d)->labelTriggerCount->text(), QStringLiteral("1"));
        D::feed(d, makeBlock(512, [](int, int, int) { return qint16(5); }));
        QCOMPARE(stopped.count(), 1);
        QCOMPARE(buttons(d), QStringLiteral("10111"));
        // A refused count after the run keeps its N: an event still in
        // flight is taken with it and divides by no empty count.
        answerer.answer(QMessageBox::Ok);
        run(d, QStringLiteral("0"));
        QCOMPARE(answerer.count(), 1);
        QCOMPARE(D::averageCount(d), 1);
        QCOMPARE(buttons(d), QStringLiteral("10111"));
        D::feed(d, any);
        QCOMPARE(D::triggerCount(d), 3);
        QCOMPARE(stopped.count(), 2);
        QCOMPARE(currentTable(), tableOf([](int, int) { return qint16(5); }));
    }

    // N = 1: one event gives 16 x 1022 of 16384 cells, 99 %, not complete;
    // an event with another start cell completes it. Start cells 1030
    // (taken as 6), 1023 and a negative one (bit 15 set) land in range.
    void progressAndStartCells()
    {
        CalibrationDialog d;
        QSignalSpy stopped(&d, &CalibrationDialog::stop);
        // Every sample carries 100 + its cell, so a wrong cell shows in the table.
        auto cellValue = [](int c, int, int cell) { return qint16(100 + cell + c); };
        run(d, QStringLiteral("1"));
        D::feed(d, makeBlock(1030, cellValue));
        QCOMPARE(D::ui(d)->progressBar->value(), 99);
        QCOMPARE(buttons(d), QStringLiteral("01000"));
        QCOMPARE(stopped.count(), 0);
        QCOMPARE(currentTable(), tableOf([](int, int) { return qint16(5); })); // the table of before
        // Start 6 missed cells 4 and 5; start 1023 covers 1023, 0 .. 1020.
        D::feed(d, makeBlock(1023, cellValue));
        QCOMPARE(D::ui(d)->progressBar->value(), 100);
        QCOMPARE(stopped.count(), 1);
        QCOMPARE(buttons(d), QStringLiteral("10111"));
        QVERIFY(CalibrationDialog::isCalibrated());
        QCOMPARE(currentTable(), tableOf([](int c, int cell) { return qint16(100 + cell + c); }));

        // Bit 15 set: 0x8005 is cell 5; with 1023 again everything is covered.
        auto other = [](int c, int, int cell) { return qint16(-7 * cell - c); };
        run(d, QStringLiteral("1"));
        QCOMPARE(D::ui(d)->progressBar->value(), 0);
        D::feed(d, makeBlock(qint16(0x8005), other));
        QCOMPARE(D::ui(d)->progressBar->value(), 99);
        QCOMPARE(stopped.count(), 1);
        D::feed(d, makeBlock(1023, other));
        QCOMPARE(stopped.count(), 2);
        QCOMPARE(D::ui(d)->labelTriggerCount->text(), QStringLiteral("2"));
        QCOMPARE(currentTable(), tableOf([](int c, int cell) { return qint16(-7 * cell - c); }));
    }

    // Offsets are averages over the full counts, rounded halves away from
    // zero; word 1023 is never accumulated.
    void rounding()
    {
        // 100 events start at cell 0 (cells 0..1021) and 100 at cell 512
        // (512..1023, 0..509): cells 510, 511, 1022, 1023 collect 100
        // samples, all others 200, more than N = 100.
        QMap<int, qint64> wanted; // cell of channel 3 -> sum over its samples
        wanted[510] = 249;   // 2.49 -> 2
        wanted[511] = -270;  // -2.7 -> -3
        wanted[1022] = -60;  // -0.6 -> -1
        wanted[1023] = 250;  // 2.5 -> 3
        wanted[0] = -500;    // -2.5 over 200 -> -3
        wanted[1] = 500;     // 2.5 over 200 -> 3
        wanted[2] = -299;    // -1.495 -> -1
        const QMap<int, qint16> expected = {{510, 2}, {511, -3}, {1022, -1}, {1023, 3}, {0, -3}, {1, 3}, {2, -1}};

        CalibrationDialog d;
        QSignalSpy stopped(&d, &CalibrationDialog::stop);
        run(d, QStringLiteral("100"));
        int seen[1024] = {};
        auto value = [&](int c, int k, int cell) -> qint16 {
            if (k == 1023)
                return 30000; // would spoil its cell if it were accumulated
            if (c != 3 || !wanted.contains(cell))
                return qint16(-40 + c);
            const qint64 n = (cell >= 510 && cell <= 511) || cell >= 1022 ? 100 : 200;
            const qint64 sum = wanted[cell];
            const qint64 base = sum >= 0 ? sum / n : -((-sum + n - 1) / n); // floor
            const qint64 extra = sum - base * n;                           // 0 .. n-1
            return qint16(base + (seen[cell] < extra ? 1 : 0));
        };
        for (int i = 0; i < 200; ++i) {
            const qint16 start = i % 2 ? 512 : 0;
            const QByteArray b = makeBlock(start, [&](int c, int k, int cell) { return value(c, k, cell); });
            for (int k = 1; k < 1023; ++k)
                ++seen[Event::cellOf(start, k)];
            QCOMPARE(stopped.count(), 0);
            D::feed(d, b);
        }
        QCOMPARE(stopped.count(), 1);
        QCOMPARE(D::ui(d)->labelTriggerCount->text(), QStringLiteral("200"));
        const Table t = currentTable();
        for (int c = 0; c < 16; ++c)
            for (int cell = 0; cell < 1024; ++cell) {
                const qint16 want = c == 3 && expected.contains(cell) ? expected[cell] : qint16(-40 + c);
                if (t[c][cell] != want)
                    QFAIL(qPrintable(QStringLiteral("channel %1 cell %2: %3, expected %4").arg(c).arg(cell).arg(t[c][cell]).arg(want)));
            }

        // An event arriving just after completion is taken too: the offsets
        // are computed again with it and stop() comes again.
        D::feed(d, makeBlock(0, [](int, int, int) { return qint16(1000); }));
        QCOMPARE(stopped.count(), 2);
        const Table later = currentTable();
        QCOMPARE(later[5][700], qint16(-30));  // (200 x -35 + 1000) / 201 = -29.85
        QCOMPARE(later[5][1023], qint16(-35)); // not in that event's cells
    }

    // The correction: words 1..1023 in their cells, wrapping, header and
    // word 0 untouched; only whole blocks; a shared array detached.
    void correction()
    {
        CalibrationDialog d;
        calibrate(d, [](int c, int cell) { return qint16(cell == 1023 ? 1 : 3 * cell - 1500 + c); });
        const Table t = tableOf([](int c, int cell) { return qint16(cell == 1023 ? 1 : 3 * cell - 1500 + c); });
        QCOMPARE(currentTable(), t);

        // Start 1023: word 1 in cell 1023 (offset 1), word 2 in cell 0,
        // word 1023 in cell 1021.
        QByteArray raw = makeBlock(1023, [](int c, int k, int) { return qint16(k == 1 ? -32768 : 100 * c + k); });
        const QByteArray shared = raw;
        QByteArray b = raw;
        CalibrationDialog::applyCalibration(&b);
        QCOMPARE(raw, shared);
        QCOMPARE(b.left(4), raw.left(4));
        for (int c = 0; c < 16; ++c) {
            QCOMPARE(word(b, c, 0), qint16(1023));
            QCOMPARE(word(b, c, 1), qint16(32767)); // -32768 - 1 wraps
            QCOMPARE(word(b, c, 2), qint16(100 * c + 2 - (-1500 + c)));
            QCOMPARE(word(b, c, 1023), qint16(100 * c + 1023 - (3 * 1021 - 1500 + c)));
        }
        QCOMPARE(b, corrected(raw, t));
        // 1030 is cell 6.
        QByteArray b2 = makeBlock(1030, [](int, int, int) { return qint16(0); });
        CalibrationDialog::applyCalibration(&b2);
        QCOMPARE(word(b2, 0, 1), qint16(-(3 * 6 - 1500)));
        QCOMPARE(word(b2, 0, 0), qint16(1030));

        // Short and long buffers and a null pointer are left alone.
        for (int size : {0, 4, Event::BlockSize - 1, Event::BlockSize + 1}) {
            QByteArray odd = raw.left(size);
            if (size > raw.size())
                odd = raw + QByteArray(size - raw.size(), '\x11');
            const QByteArray copy = odd;
            CalibrationDialog::applyCalibration(&odd);
            QCOMPARE(odd, copy);
        }
        CalibrationDialog::applyCalibration(nullptr);
    }

    // Cancel ends the run: buttons, stop(), the table kept, later events
    // ignored until the next accepted Run; the close button is refused and
    // Escape swallowed while running; a completed run empties the file field
    // and enables Save in the next dialog.
    void cancelCloseEscape()
    {
        CalibrationDialog first;
        calibrate(first, pattern);
        const Table before = currentTable();
        QCOMPARE(before, tableOf(pattern));
        QCOMPARE(D::ui(first)->lineEditFile->text(), QString());

        CalibrationDialog d;
        QCOMPARE(buttons(d), QStringLiteral("10111")); // Save: a run's table not yet saved
        QCOMPARE(D::ui(d)->lineEditFile->text(), QString());
        QSignalSpy started(&d, &CalibrationDialog::start);
        QSignalSpy stopped(&d, &CalibrationDialog::stop);
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        QTest::keyClick(&d, Qt::Key_Escape);
        QVERIFY(d.isVisible());

        const auto zeros = [](int, int, int) { return qint16(0); };
        run(d, QStringLiteral("1"));
        QCOMPARE(started.count(), 1);
        D::feed(d, makeBlock(0, zeros));
        QCOMPARE(D::ui(d)->progressBar->value(), 99);
        QVERIFY(!d.close());
        QVERIFY(d.isVisible());
        QTest::keyClick(&d, Qt::Key_Escape);
        QVERIFY(d.isVisible());
        QCOMPARE(buttons(d), QStringLiteral("01000"));

        D::ui(d)->btnCancel->click();
        QCOMPARE(stopped.count(), 1);
        QCOMPARE(buttons(d), QStringLiteral("10011"));
        QCOMPARE(D::ui(d)->progressBar->value(), 99);
        QCOMPARE(D::ui(d)->labelTriggerCount->text(), QStringLiteral("1"));
        // Events still in flight would complete the run: they are ignored.
        D::feed(d, makeBlock(512, zeros));
        D::feed(d, makeBlock(300, zeros));
        QCOMPARE(D::ui(d)->labelTriggerCount->text(), QStringLiteral("1"));
        QCOMPARE(stopped.count(), 1);
        QCOMPARE(currentTable(), before);
        QVERIFY(CalibrationDialog::isCalibrated());

        CalibrationDialog next;
        QCOMPARE(buttons(next), QStringLiteral("10111")); // the unsaved run's table

        QVERIFY(d.close());
        QVERIFY(!d.isVisible());
    }

    // Through the real window and the emulator: a quiet run measures the
    // emulator's own offsets; then, with "Offset Correction", the run file
    // and newData get the emulator's blocks minus those offsets.
    void emulatorRunAndCorrection()
    {
        Rig r;
        QVERIFY(r.open());
        r.emu.setQuiet(true);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());

        int modeInside = -1;
        r.runDialog([&](CalibrationDialog &d) {
            modeInside = A::calibrationMode(r.w);
            run(d, QStringLiteral("3"));
            QVERIFY(QTest::qWaitFor([&] { return D::ui(d)->btnCalibrationRun->isEnabled(); }, 20000));
            QVERIFY(QTest::qWaitFor([&] { return r.stopped(); }, 10000));
            QCOMPARE(buttons(d), QStringLiteral("10111"));
        });
        QCOMPARE(modeInside, 2);
        QVERIFY(r.ui()->usingCalibration->isEnabled());
        QVERIFY(!r.ui()->usingCalibration->isChecked());
        QCOMPARE(A::calibrationMode(r.w), 0);
        // Events during the dialog went on raw.
        QVERIFY(r.events.size() >= 3);
        const QList<QByteArray> sent = r.emu.sentBlocks();
        QCOMPARE(r.events, sent.mid(0, r.events.size()));

        const Table emuTable = tableOf([&](int c, int cell) { return r.emu.cellOffset(c, cell); });
        // Quiet blocks: every sample is its cell's offset; start cells vary.
        QSet<int> starts;
        for (const QByteArray &b : std::as_const(r.events)) {
            QCOMPARE(b.size(), Event::BlockSize);
            starts << word(b, 0, 0);
            QCOMPARE(b, corrected(b, emuTable) == makeBlock(word(b, 0, 0), [](int, int, int) { return qint16(0); })
                         ? b : QByteArray("<not quiet>"));
        }
        QVERIFY(starts.size() >= 2);
        QCOMPARE(currentTable(), emuTable);

        // Correction on, recording, a noisy stream.
        r.emu.setQuiet(false);
        r.emu.clearBlocks();
        r.events.clear();
        r.ui()->usingCalibration->setChecked(true);
        QCOMPARE(A::calibrationMode(r.w), 1);
        r.ui()->save->setChecked(true);
        r.ui()->path->setText(dir.path());
        r.ui()->nRun->setText(QStringLiteral("7"));
        r.ui()->start->click();
        QVERIFY(!r.ui()->usingCalibration->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(r.events.size() >= 20, 20000);
        r.ui()->stop->click();
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 10000);
        QVERIFY(r.ui()->usingCalibration->isEnabled());

        const QList<QByteArray> raw = r.emu.sentBlocks();
        QVERIFY(raw.size() >= r.events.size());
        QByteArray expectedFile;
        for (int i = 0; i < r.events.size(); ++i) {
            const QByteArray want = corrected(raw.at(i), emuTable);
            QVERIFY(want != raw.at(i));
            QCOMPARE(r.events.at(i).left(4), raw.at(i).left(4));
            QCOMPARE(r.events.at(i), want);
            expectedFile += want;
        }
        const QString runDir = QDir(dir.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).value(0);
        QFile f(dir.filePath(runDir + QStringLiteral("/DAT000007_000.bin")));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), expectedFile);
        QCOMPARE(r.answerer.unexpected(), 0);
    }

    // A dialog opened while "Offset Correction" is checked passes events
    // raw and restores the correction; unchecking returns to raw events.
    void correctionAcrossDialog()
    {
        QVERIFY(CalibrationDialog::isCalibrated());
        const Table table = currentTable();
        Rig r;
        QVERIFY(r.open());
        // A table from earlier: the box is usable after the first stream.
        r.ui()->single->click();
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 10000);
        QVERIFY(r.ui()->usingCalibration->isEnabled());
        r.ui()->usingCalibration->setChecked(true);
        QCOMPARE(A::calibrationMode(r.w), 1);
        r.emu.clearBlocks();
        r.events.clear();

        r.runDialog([&](CalibrationDialog &d) {
            QCOMPARE(A::calibrationMode(r.w), 2);
            run(d, QStringLiteral("1000000"));
            QVERIFY(QTest::qWaitFor([&] { return r.events.size() >= 3; }, 20000));
            D::ui(d)->btnCancel->click();
            QVERIFY(QTest::qWaitFor([&] { return r.stopped(); }, 10000));
            QVERIFY(D::triggerCount(d) >= 3);
        });
        QCOMPARE(A::calibrationMode(r.w), 1);
        QVERIFY(r.ui()->usingCalibration->isChecked());
        QCOMPARE(r.events, r.emu.sentBlocks().mid(0, r.events.size()));
        QCOMPARE(currentTable(), table); // Cancel kept it

        r.emu.clearBlocks();
        r.events.clear();
        r.ui()->single->click();
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 10000);
        QCOMPARE(r.events.size(), 1);
        QCOMPARE(r.events.at(0), corrected(r.emu.sentBlocks().value(0), table));

        r.ui()->usingCalibration->setChecked(false);
        QCOMPARE(A::calibrationMode(r.w), 0);
        r.emu.clearBlocks();
        r.events.clear();
        r.ui()->single->click();
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 10000);
        QCOMPARE(r.events.size(), 1);
        QCOMPARE(r.events.at(0), r.emu.sentBlocks().value(0));
    }

    // Every N the field accepts works: 2^31 - 1 is taken, and at N = 2^17
    // (where a 32-bit N x 16384 wraps) the progress still moves.
    void wideArithmetic()
    {
        CalibrationDialog d;
        QSignalSpy started(&d, &CalibrationDialog::start);
        run(d, QStringLiteral("2147483647"));
        QCOMPARE(started.count(), 1);
        QCOMPARE(D::averageCount(d), 2147483647);
        D::ui(d)->btnCancel->click();

        run(d, QString::number(1 << 17));
        QByteArray big = makeBlock(0, [](int, int, int) { return qint16(32767); });
        // 1314 events of 16 x 1022 samples are just over 1 % of 16384 x 2^17.
        for (int i = 0; i < 1314; ++i)
            D::feed(d, &big);
        QCOMPARE(D::ui(d)->progressBar->value(), 1);
        QCOMPARE(D::triggerCount(d), qint64(1314));
        QCOMPARE(buttons(d), QStringLiteral("01000"));
        D::ui(d)->btnCancel->click();
    }

    // A table loaded in the window's dialog, with no stream since: closing
    // the dialog makes "Offset Correction" usable (still unchecked, raw
    // events), and checked it corrects the next event with the loaded table.
    void loadInWindowDialog()
    {
        const Table loaded = tableOf([](int c, int cell) { return qint16(c * 3 - cell % 50 + 7); });
        QVERIFY(CalibrationDialog::isCalibrated());
        QVERIFY(currentTable() != loaded);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString name = dir.filePath(QStringLiteral("loaded.csv"));
        {
            QByteArray text;
            for (int cell = 0; cell < Event::Cells; ++cell) {
                for (int c = 0; c < Event::Channels; ++c)
                    text += (c ? "," : "") + QByteArray::number(loaded[c][cell]);
                text += '\n';
            }
            QFile f(name);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QCOMPARE(f.write(text), qint64(text.size()));
        }

        Rig r;
        QVERIFY(r.open());
        QVERIFY(!r.ui()->usingCalibration->isEnabled()); // a new window, no stream yet
        QList<BoxRecord> boxes;
        r.runDialog([&](CalibrationDialog &d) {
            ModalAnswerer inner; // the box opens while the outer answerer is busy with the dialog
            inner.answer(QMessageBox::Ok);
            D::ui(d)->lineEditFile->setText(name);
            D::ui(d)->btnLoad->click();
            boxes = inner.boxes();
        });
        QCOMPARE(boxes.size(), 1);
        checkBox(boxes.at(0), QStringLiteral("Load completed!"), QMessageBox::Information);
        QVERIFY(!A::stream(r.w));
        QCOMPARE(currentTable(), loaded);
        QVERIFY(r.ui()->usingCalibration->isEnabled());
        QVERIFY(!r.ui()->usingCalibration->isChecked());
        QCOMPARE(A::calibrationMode(r.w), 0);

        r.ui()->usingCalibration->setChecked(true);
        QCOMPARE(A::calibrationMode(r.w), 1);
        r.emu.clearBlocks();
        r.events.clear();
        r.ui()->single->click();
        QTRY_VERIFY_WITH_TIMEOUT(r.stopped(), 10000);
        QCOMPARE(r.events.size(), 1);
        QCOMPARE(r.events.at(0), corrected(r.emu.sentBlocks().value(0), loaded));
        QCOMPARE(r.answerer.unexpected(), 0);
    }
};

QTEST_MAIN(TestCalibration)
#include "tst_calibration.moc"
