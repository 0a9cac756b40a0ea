// Calibration files: Save, "..." and Load of the calibration dialog, the
// exact text written, what Load accepts and refuses, and the messages.
#include "ui_calibrationdialog.h"
#include "calibrationtest.h"
#include "filesizecap.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using D = CalibrationDialogAccess;
using namespace calib;

qint16 measured(int c, int cell)
{
    return qint16((c * 7919 + cell * 104729) % 65536 - 32768);
}

qint16 other(int c, int cell)
{
    return qint16(c - cell);
}

// Completes an N = 1 run whose offsets are the table f.
void calibrate(CalibrationDialog &d, qint16 (*f)(int, int))
{
    D::ui(d)->lineEditAverageCount->setText(QStringLiteral("1"));
    D::ui(d)->btnCalibrationRun->click();
    D::feed(d, makeBlock(0, [&](int c, int, int cell) { return f(c, cell); }));
    D::feed(d, makeBlock(512, [&](int c, int, int cell) { return f(c, cell); }));
}

QByteArray csv(const Table &t, int rows)
{
    QByteArray s;
    for (int cell = 0; cell < rows; ++cell) {
        for (int c = 0; c < 16; ++c) {
            if (c)
                s += ',';
            s += QByteArray::number(t[c][cell % 1024]);
        }
        s += '\n';
    }
    return s;
}

bool writeFile(const QString &name, const QByteArray &bytes)
{
    QFile f(name);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &name)
{
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Answers the next file dialog with a file name (or cancels it with an
// empty one), after checking its title and filter.
void answerFile(ModalAnswerer &a, const QString &title, const QString &name)
{
    a.answerWith([=](QWidget *w) {
        auto *fd = qobject_cast<QFileDialog *>(w);
        QVERIFY(fd);
        QCOMPARE(fd->windowTitle(), title);
        QCOMPARE(fd->nameFilters(), QStringList({"CSV Files (*.csv)", "All Files (*.*)"}));
        QCOMPARE(QDir(fd->directory()).canonicalPath(), QDir::current().canonicalPath());
        if (name.isEmpty()) {
            fd->reject();
            return;
        }
        chooseFile(fd, name);
        static_cast<QDialog *>(fd)->done(QDialog::Accepted); // no overwrite question
    });
}

} // namespace

class TestCalibrationFiles : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        installFailOnWarnings();
        QVERIFY(dir.isValid());
    }

    // Save writes 1024 lines of 16 values with "\n" after each; it changes
    // no state; Load reads it back, disables Save and is remembered by the
    // next dialog; a cancelled dialog changes nothing.
    void saveAndLoad()
    {
        CalibrationDialog d;
        ModalAnswerer a;
        calibrate(d, measured);
        const Table table = tableOf(measured);
        QCOMPARE(currentTable(), table);
        QCOMPARE(buttons(d), QStringLiteral("10111"));

        const QString name = dir.filePath(QStringLiteral("offsets.csv"));
        answerFile(a, QStringLiteral("Save Calibration Data"), QString());
        D::ui(d)->btnSave->click();
        QCOMPARE(a.count(), 1);
        QVERIFY(!QFile::exists(name));

        answerFile(a, QStringLiteral("Save Calibration Data"), name);
        D::ui(d)->btnSave->click();
        QCOMPARE(a.count(), 2);
        const QByteArray text = readFile(name);
        QCOMPARE(text, csv(table, 1024));
        QCOMPARE(text.count('\n'), 1024);
        QCOMPARE(buttons(d), QStringLiteral("10111"));
        QCOMPARE(D::ui(d)->lineEditFile->text(), QString());

        // Overwriting: an existing file is truncated.
        QVERIFY(writeFile(name, QByteArray(200000, 'x')));
        answerFile(a, QStringLiteral("Save Calibration Data"), name);
        D::ui(d)->btnSave->click();
        QCOMPARE(readFile(name), csv(table, 1024));

        // Save keeps the table "unsaved": the next dialog offers it again.
        {
            CalibrationDialog next;
            QCOMPARE(buttons(next), QStringLiteral("10111"));
            QCOMPARE(D::ui(next)->lineEditFile->text(), QString());
        }

        // "..." cancelled, then chosen; nothing is read yet.
        CalibrationDialog e;
        calibrate(e, other);
        QCOMPARE(currentTable(), tableOf(other));
        D::ui(e)->lineEditFile->setText(QStringLiteral("typed"));
        answerFile(a, QStringLiteral("Choose Calibration Data"), QString());
        D::ui(e)->btnFile->click();
        QCOMPARE(D::ui(e)->lineEditFile->text(), QStringLiteral("typed"));
        answerFile(a, QStringLiteral("Choose Calibration Data"), name);
        D::ui(e)->btnFile->click();
        QCOMPARE(D::ui(e)->lineEditFile->text(), QDir::toNativeSeparators(name));
        QCOMPARE(currentTable(), tableOf(other));
        QCOMPARE(a.count(), 5);

        a.answer(QMessageBox::Ok);
        D::ui(e)->btnLoad->click();
        QCOMPARE(a.count(), 6);
        checkBox(a.last(), QStringLiteral("Load completed!"), QMessageBox::Information);
        QCOMPARE(currentTable(), table);
        QCOMPARE(buttons(e), QStringLiteral("10011"));

        CalibrationDialog after;
        QCOMPARE(D::ui(after)->lineEditFile->text(), name);
        QCOMPARE(buttons(after), QStringLiteral("10011")); // a loaded table is not offered for saving

        // A completed run forgets the file: the field empties, Save is offered.
        calibrate(after, other);
        QCOMPARE(D::ui(after)->lineEditFile->text(), QString());
        QCOMPARE(buttons(after), QStringLiteral("10111"));
        CalibrationDialog last;
        QCOMPARE(D::ui(last)->lineEditFile->text(), QString());
        QCOMPARE(buttons(last), QStringLiteral("10111"));
    }

    // Save failures: a file that cannot be opened, and a write cut short.
    void saveFailures()
    {
        CalibrationDialog d;
        ModalAnswerer a;
        calibrate(d, other);
        const QString missingDir = dir.filePath(QStringLiteral("no/such/dir/x.csv"));
        answerFile(a, QStringLiteral("Save Calibration Data"), missingDir);
        a.answer(QMessageBox::Ok);
        D::ui(d)->btnSave->click();
        QCOMPARE(a.count(), 2);
        QFile probe(missingDir);
        QVERIFY(!probe.open(QIODevice::WriteOnly | QIODevice::Text));
        checkBox(a.last(), QStringLiteral("Cannot open file: %1.").arg(probe.errorString()));
        QCOMPARE(buttons(d), QStringLiteral("10111"));

        const QString name = dir.filePath(QStringLiteral("short.csv"));
        answerFile(a, QStringLiteral("Save Calibration Data"), name);
        a.answer(QMessageBox::Ok);
        {
            FileSizeCap cap(1000);
            QVERIFY(cap.ok);
            D::ui(d)->btnSave->click();
        }
        QCOMPARE(a.count(), 4);
        checkBox(a.last(), QStringLiteral("Cannot write %1: %2.").arg(name, QString::fromLocal8Bit(strerror(EFBIG))));
        QVERIFY(readFile(name).size() <= 1000);
        QCOMPARE(buttons(d), QStringLiteral("10111"));
    }

    // What Load accepts and refuses; a refusal changes nothing.
    void loadFormats()
    {
        CalibrationDialog d;
        ModalAnswerer a;
        calibrate(d, other);
        const Table base = tableOf(other);
        const Table table = tableOf(measured);

        auto load = [&](const QByteArray &bytes) {
            const QString name = dir.filePath(QStringLiteral("load.csv"));
            writeFile(name, bytes);
            D::ui(d)->lineEditFile->setText(name);
            a.answer(QMessageBox::Ok);
            const int n = a.count();
            D::ui(d)->btnLoad->click();
            return a.count() == n + 1 ? a.last().text : QStringLiteral("<no box>");
        };
        auto refusedFormat = [&](const QByteArray &bytes) {
            const QString text = load(bytes);
            if (text != QLatin1String("Cannot load file. Invalid format."))
                return false;
            checkBox(a.last(), text);
            return currentTable() == base && buttons(d) == QLatin1String("10111")
                && D::ui(d)->lineEditFile->text().endsWith(QLatin1String("load.csv"));
        };

        QVERIFY(refusedFormat(csv(table, 1023)));
        QVERIFY(refusedFormat(QByteArray()));
        // A line far longer than 16 values can be: not a calibration file.
        QVERIFY(refusedFormat(csv(table, 1024) + QByteArray(100000, '7') + '\n'));
        // Every line with a trailing comma has 17 fields.
        QVERIFY(refusedFormat(csv(table, 1024).replace("\n", ",\n")));
        {
            CalibrationDialog next; // a refused load left the path unset
            QCOMPARE(D::ui(next)->lineEditFile->text(), QString());
        }

        QCOMPARE(load(csv(table, 1024)), QStringLiteral("Load completed!"));
        QCOMPARE(currentTable(), table);
        QCOMPARE(buttons(d), QStringLiteral("10011"));

        // 1500 lines: accepted, the first 1024 used.
        QByteArray longer = csv(base, 1024) + csv(table, 476);
        QCOMPARE(load(longer), QStringLiteral("Load completed!"));
        QCOMPARE(currentTable(), base);

        // Lines of 15 and 17 fields (and empty ones) are skipped without
        // taking a cell; the next accepted line takes the next cell. Fields
        // that do not convert are 0; an empty field counts as a field.
        QList<QByteArray> lines = csv(table, 1024).split('\n');
        lines.removeLast();
        QList<QByteArray> odd = lines;
        odd.insert(1, "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15");
        odd.insert(2, "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17");
        odd.insert(3, "");
        odd.insert(500, lines.at(0) + ",");
        Table expected = table;
        const QList<QByteArray> fields = {"40000", "abc", "", "-32769", " 5", "0x10", "+7", "-0", "32767",
                                          "-32768", "1e2", "3.0", "0012", "-", "99999999999", "x"};
        QCOMPARE(fields.size(), 16);
        odd.replace(odd.indexOf(lines.at(700)), fields.join(','));
        for (int c = 0; c < 16; ++c) {
            bool ok = false;
            const qint16 v = QString::fromLatin1(fields.at(c)).toShort(&ok, 10);
            expected[c][700] = ok ? v : 0;
        }
        for (int c : {0, 1, 2, 3})
            QCOMPARE(expected[c][700], qint16(0));
        QCOMPARE(expected[8][700], qint16(32767));
        QCOMPARE(expected[9][700], qint16(-32768));
        QCOMPARE(load(odd.join('\n') + '\n'), QStringLiteral("Load completed!"));
        QCOMPARE(currentTable(), expected);

        // A header line of 16 names is a line of zeros in cell 0.
        QList<QByteArray> headed = lines.mid(0, 1023);
        QByteArray header;
        for (int c = 0; c < 16; ++c)
            header += (c ? ",ch" : "ch") + QByteArray::number(c);
        headed.prepend(header);
        Table shifted = tableOf([&](int c, int cell) { return cell ? table[c][cell - 1] : qint16(0); });
        QCOMPARE(load(headed.join('\n') + '\n'), QStringLiteral("Load completed!"));
        QCOMPARE(currentTable(), shifted);

        // Windows line ends are read as line ends; the last line needs none.
        QByteArray crlf = csv(base, 1024);
        crlf.replace("\n", "\r\n");
        crlf.chop(2);
        QCOMPARE(load(crlf), QStringLiteral("Load completed!"));
        QCOMPARE(currentTable(), base);
    }

    // Load of an empty field or a missing file: "Cannot load file: %1."
    // with the error text; nothing changes.
    void loadOpenFailures()
    {
        CalibrationDialog d;
        ModalAnswerer a;
        calibrate(d, measured);
        const QString missing = dir.filePath(QStringLiteral("missing.csv"));
        QFile probe(missing);
        QVERIFY(!probe.open(QIODevice::ReadOnly | QIODevice::Text));
        const QStringList reasons = {QStringLiteral("No file name specified"), probe.errorString()};
        QCOMPARE(reasons.at(1), QStringLiteral("No such file or directory"));
        for (const QString &name : {QString(), missing}) {
            D::ui(d)->lineEditFile->setText(name);
            a.answer(QMessageBox::Ok);
            D::ui(d)->btnLoad->click();
            checkBox(a.last(), QStringLiteral("Cannot load file: %1.").arg(reasons.at(name.isEmpty() ? 0 : 1)));
            QCOMPARE(currentTable(), tableOf(measured));
            QCOMPARE(buttons(d), QStringLiteral("10111"));
        }
        QCOMPARE(a.count(), 2);
        CalibrationDialog next;
        QCOMPARE(buttons(next), QStringLiteral("10111"));
        QCOMPARE(D::ui(next)->lineEditFile->text(), QString());
    }

    // A FIFO is not opened (that would block until a writer came): refused
    // like a file that cannot be opened. A writer is let in after a while,
    // so a blocked open fails the test instead of hanging it.
    void loadNonRegularFile()
    {
        CalibrationDialog d;
        ModalAnswerer a;
        calibrate(d, measured);
        const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("fifo.csv")));
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        D::ui(d)->lineEditFile->setText(QFile::decodeName(fifo));
        std::atomic<bool> done{false};
        std::thread unblock([&] {
            for (int waited = 0; !done; waited += 50) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                const int fd = waited > 5000 ? ::open(fifo.constData(), O_WRONLY | O_NONBLOCK) : -1;
                if (fd >= 0)
                    ::close(fd);
            }
        });
        a.answer(QMessageBox::Ok);
        D::ui(d)->btnLoad->click();
        done = true;
        unblock.join();
        QCOMPARE(a.count(), 1);
        checkBox(a.last(), QStringLiteral("Cannot load file: Not a regular file."));
        QCOMPARE(currentTable(), tableOf(measured));
        QCOMPARE(buttons(d), QStringLiteral("10111"));
    }

private:
    QTemporaryDir dir;
};

QTEST_MAIN(TestCalibrationFiles)
#include "tst_calibrationfiles.moc"
