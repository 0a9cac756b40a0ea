// Waveform CSV export of a graph window: files compared byte for byte with
// text built here, the file dialog, cancelling, open and write failures.
#include "graphwindow.h"
#include "mainwindow.h"
#include "testsupport.h"
#include "ui_graphwindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>

#include <signal.h>
#include <sys/resource.h>

struct GraphWindowAccess {
    static Ui_GraphWindow *ui(GraphWindow &g) { return g.ui; }
};

namespace {

using G = GraphWindowAccess;

// Word k of channel c: both signs, several widths, and the channel in it.
int sample(int c, int k)
{
    return ((k * 37 + c * 211) % 3001 - 1500) * (k % 3 == 0 ? -1 : 1) + c;
}

QByteArray block()
{
    QByteArray b(32772, '\0');
    b[0] = char(0x55);
    b[1] = char(0x55);
    b[2] = char(0xAA);
    b[3] = char(0xAA);
    for (int c = 0; c < 16; ++c)
        for (int k = 0; k < 1024; ++k) {
            const quint16 v = quint16(qint16(sample(c, k)));
            b[4 + 2048 * c + 2 * k] = char(v >> 8);
            b[4 + 2048 * c + 2 * k + 1] = char(v & 0xFF);
        }
    return b;
}

// The file the export must write.
QByteArray expected(const QList<int> &channels, bool useT0, int code)
{
    const double rate[4] = {1, 2, 3, 5};
    QByteArray s = "T[ns],";
    for (int c : channels)
        s += "ch" + QByteArray::number(c) + ",";
    s += "\n";
    for (int k = useT0 ? 0 : 1; k <= (useT0 ? 1023 : 1022); ++k) {
        char time[64];
        snprintf(time, sizeof time, "%g,", k / rate[code]);
        s += time;
        for (int c : channels) {
            char v[32];
            snprintf(v, sizeof v, "%d,", sample(c, k));
            s += v;
        }
        s += "\n";
    }
    return s;
}

QByteArray readFile(const QString &name)
{
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
}

} // namespace

class TestWaveformCsv : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { installFailOnWarnings(); }

    void layout_data()
    {
        QTest::addColumn<QList<int>>("channels");
        QTest::addColumn<bool>("useT0");
        QTest::addColumn<int>("code");
        QTest::newRow("ch0 ch3, code 1") << QList<int>{0, 3} << false << 1;
        QTest::newRow("T0") << QList<int>{0, 3} << true << 0;
        QTest::newRow("code 3") << QList<int>{15} << false << 3;
        QTest::newRow("code 2, all") << QList<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15} << false << 2;
        QTest::newRow("T0 code 2") << QList<int>{7} << true << 2;
        QTest::newRow("no channel") << QList<int>() << false << 0;
    }
    void layout()
    {
        QFETCH(QList<int>, channels);
        QFETCH(bool, useT0);
        QFETCH(int, code);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString name = dir.filePath(QStringLiteral("wave.csv"));

        GraphWindow g(useT0);
        for (int c : channels)
            g.channelOn[c] = true;
        const QByteArray b = block();
        g.initPlot(nullptr, &b, code);

        ModalAnswerer answerer;
        answerer.answerWith([&](QWidget *w) {
            auto *fd = qobject_cast<QFileDialog *>(w);
            QVERIFY(fd);
            QCOMPARE(fd->windowTitle(), QStringLiteral("Save data to CSV file"));
            QCOMPARE(fd->nameFilters(), (QStringList{QStringLiteral("CSV Files (*.csv)"), QStringLiteral("All Files (*.*)")}));
            QCOMPARE(fd->directory().absolutePath(), QDir::currentPath());
            QCOMPARE(fd->acceptMode(), QFileDialog::AcceptSave);
            chooseFile(fd, name);
            static_cast<QDialog *>(fd)->accept();
        });
        G::ui(g)->actionSave->trigger();
        QCOMPARE(answerer.count(), 1);
        const QByteArray file = readFile(name);
        QCOMPARE(file, expected(channels, useT0, code));

        // The cases spelled out.
        const QList<QByteArray> lines = file.split('\n');
        QCOMPARE(lines.size(), (useT0 ? 1024 : 1022) + 2);
        QVERIFY(lines.last().isEmpty());
        if (channels == QList<int>{0, 3} && !useT0) {
            QCOMPARE(lines.at(0), QByteArray("T[ns],ch0,ch3,"));
            QCOMPARE(lines.at(1), "0.5," + QByteArray::number(sample(0, 1)) + "," + QByteArray::number(sample(3, 1)) + ",");
            QVERIFY(lines.at(1022).startsWith("511,"));
        }
        if (useT0)
            QVERIFY(lines.at(1).startsWith("0,"));
        if (code == 3) {
            QVERIFY(lines.at(1).startsWith("0.2,"));
            QVERIFY(lines.at(2).startsWith("0.4,"));
            QVERIFY(lines.at(1022).startsWith("204.4,"));
        }
        if (code == 2 && !useT0) {
            QVERIFY(lines.at(1).startsWith("0.333333,"));
            QVERIFY(lines.at(2).startsWith("0.666667,"));
            QVERIFY(lines.at(3).startsWith("1,"));
            QVERIFY(lines.at(4).startsWith("1.33333,"));
            QVERIFY(lines.at(1022).startsWith("340.667,"));
        }
        if (channels.isEmpty()) {
            QCOMPARE(lines.at(0), QByteArray("T[ns],"));
            QCOMPARE(lines.at(1), QByteArray("1,"));
        }
    }

    // Cancel writes and shows nothing; a missing directory shows the file's
    // error text.
    void cancelAndOpenFailure()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        GraphWindow g(false);
        g.channelOn[1] = true;
        const QByteArray b = block();
        g.initPlot(nullptr, &b, 0);

        ModalAnswerer answerer;
        answerer.answerWith([&](QWidget *w) {
            auto *fd = qobject_cast<QFileDialog *>(w);
            QVERIFY(fd);
            chooseFile(fd, dir.filePath(QStringLiteral("never.csv")));
            fd->reject();
        });
        G::ui(g)->actionSave->trigger();
        QCOMPARE(answerer.count(), 1);
        QVERIFY(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());

        const QString name = dir.filePath(QStringLiteral("missing/wave.csv"));
        QFile probe(name);
        QVERIFY(!probe.open(QIODevice::WriteOnly | QIODevice::Text));
        answerer.answerWith([&](QWidget *w) {
            auto *fd = qobject_cast<QFileDialog *>(w);
            QVERIFY(fd);
            chooseFile(fd, name);
            static_cast<QDialog *>(fd)->accept();
        });
        answerer.answer(QMessageBox::Ok);
        G::ui(g)->actionSave->trigger();
        QCOMPARE(answerer.count(), 3);
        const BoxRecord box = answerer.last();
        QCOMPARE(box.title, QCoreApplication::applicationName());
        QCOMPARE(box.text, QStringLiteral("Cannot open file for saving: %1.").arg(probe.errorString()));
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(!QFile::exists(name));
        QCOMPARE(answerer.pending(), 0);
    }

    // A write that fails (file size limit): a warning, and no half-written file.
    void writeFailure()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString name = dir.filePath(QStringLiteral("big.csv"));
        GraphWindow g(false);
        for (bool &on : g.channelOn)
            on = true;
        const QByteArray b = block();
        g.initPlot(nullptr, &b, 0);

        rlimit old;
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        auto oldHandler = signal(SIGXFSZ, SIG_IGN);
        ModalAnswerer answerer;
        answerer.answerWith([&](QWidget *w) {
            auto *fd = qobject_cast<QFileDialog *>(w);
            QVERIFY(fd);
            chooseFile(fd, name);
            static_cast<QDialog *>(fd)->accept();
            rlimit small = old;
            small.rlim_cur = 4096;
            setrlimit(RLIMIT_FSIZE, &small);
        });
        answerer.answer(QMessageBox::Ok);
        G::ui(g)->actionSave->trigger();
        setrlimit(RLIMIT_FSIZE, &old);
        signal(SIGXFSZ, oldHandler);

        QCOMPARE(answerer.count(), 2);
        const BoxRecord box = answerer.last();
        QCOMPARE(box.title, QCoreApplication::applicationName());
        QCOMPARE(box.text, QStringLiteral("Cannot write %1: %2.").arg(name, QStringLiteral("File too large")));
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(!QFile::exists(name));

        // The same export without the limit works.
        answerer.answerWith([&](QWidget *w) {
            auto *fd = qobject_cast<QFileDialog *>(w);
            chooseFile(fd, name);
            static_cast<QDialog *>(fd)->accept();
        });
        G::ui(g)->actionSave->trigger();
        QList<int> all;
        for (int c = 0; c < 16; ++c)
            all << c;
        QCOMPARE(readFile(name), expected(all, false, 0));
    }

    // The export writes the event on screen: after automatic updates, the
    // newest one; without a whole event, the header alone.
    void newestEvent()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        MainWindow main(false, 1024);
        GraphWindow g(false);
        g.channelOn[2] = true;
        QByteArray none;
        g.initPlot(nullptr, &none, 0);
        QVERIFY(connect(&main, SIGNAL(newData(QByteArray*,int)), &g, SLOT(replot(QByteArray*,int))));

        ModalAnswerer answerer;
        const QString empty = dir.filePath(QStringLiteral("empty.csv"));
        answerer.answerWith([&](QWidget *w) {
            auto *fd = qobject_cast<QFileDialog *>(w);
            chooseFile(fd, empty);
            static_cast<QDialog *>(fd)->accept();
        });
        G::ui(g)->actionSave->trigger();
        QCOMPARE(readFile(empty), QByteArray("T[ns],ch2,\n"));

        G::ui(g)->actionAuto->trigger();
        QByteArray buffer;
        for (int i = 0; i < 20; ++i) {
            buffer = QByteArray(32772, char(i));
            emit main.newData(&buffer, 0);
        }
        buffer = block();
        emit main.newData(&buffer, 1);
        G::ui(g)->actionManual->trigger();
        const QString name = dir.filePath(QStringLiteral("newest.csv"));
        answerer.answerWith([&](QWidget *w) {
            auto *fd = qobject_cast<QFileDialog *>(w);
            chooseFile(fd, name);
            static_cast<QDialog *>(fd)->accept();
        });
        G::ui(g)->actionSave->trigger();
        QCOMPARE(readFile(name), expected({2}, false, 1));
    }
};

QTEST_MAIN(TestWaveformCsv)
#include "tst_waveformcsv.moc"
