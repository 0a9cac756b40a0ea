// Helpers shared by the calibration tests: event blocks made to order, the
// offset table read back through the correction, access to the dialog, its
// buttons and its message boxes.
#ifndef CALIBRATIONTEST_H
#define CALIBRATIONTEST_H

#include "calibrationdialog.h"
#include "eventblock.h"
#include "testsupport.h"
// The including test file includes "ui_calibrationdialog.h" as well (so that
// the form compiler makes it for that target).
#include "ui_calibrationdialog.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QPushButton>
#include <QTest>
#include <QVector>
#include <functional>

struct CalibrationDialogAccess {
    static Ui_CalibrationDialog *ui(CalibrationDialog &d) { return d.ui; }
    static void feed(CalibrationDialog &d, QByteArray block) { d.newData(&block, 0); }
    static void feed(CalibrationDialog &d, QByteArray *block) { d.newData(block, 0); }
    static qint64 averageCount(CalibrationDialog &d) { return d.averageCount; }
    static qint64 triggerCount(CalibrationDialog &d) { return d.triggerCount; }
};

namespace calib {

using Table = QVector<QVector<qint16>>; // [channel][cell]

// A block whose channels all start at startWord (word 0 as sent) and whose
// sample word k of channel c is value(c, k, cell of word k).
inline QByteArray makeBlock(qint16 startWord, const std::function<qint16(int, int, int)> &value)
{
    QByteArray b(Event::BlockSize, '\0');
    uchar *p = reinterpret_cast<uchar *>(b.data());
    for (int i = 0; i < Event::HeaderSize; ++i)
        p[i] = Event::Header[i];
    const int start = startWord & Event::CellMask;
    for (int c = 0; c < Event::Channels; ++c) {
        Event::setWord(p, c, 0, startWord);
        for (int k = 1; k < Event::Words; ++k)
            Event::setWord(p, c, k, value(c, k, Event::cellOf(start, k)));
    }
    return b;
}

inline qint16 word(const QByteArray &b, int c, int k)
{
    return Event::word(reinterpret_cast<const uchar *>(b.constData()), c, k);
}

// The table in force, read through applyCalibration on blocks of zeros.
inline Table currentTable()
{
    Table t(Event::Channels, QVector<qint16>(Event::Cells, 0));
    for (qint16 start : {qint16(0), qint16(1)}) {
        QByteArray b = makeBlock(start, [](int, int, int) { return qint16(0); });
        CalibrationDialog::applyCalibration(&b);
        for (int c = 0; c < Event::Channels; ++c)
            for (int k = 1; k < Event::Words; ++k)
                t[c][Event::cellOf(start, k)] = qint16(-word(b, c, k));
    }
    return t;
}

inline Table tableOf(const std::function<qint16(int, int)> &f)
{
    Table t(Event::Channels, QVector<qint16>(Event::Cells, 0));
    for (int c = 0; c < Event::Channels; ++c)
        for (int cell = 0; cell < Event::Cells; ++cell)
            t[c][cell] = f(c, cell);
    return t;
}

// The block with the table subtracted from sample words 1..1023, wrapping.
inline QByteArray corrected(const QByteArray &raw, const Table &t)
{
    QByteArray b = raw;
    uchar *p = reinterpret_cast<uchar *>(b.data());
    for (int c = 0; c < Event::Channels; ++c) {
        const int start = Event::startCell(p, c);
        for (int k = 1; k < Event::Words; ++k)
            Event::setWord(p, c, k, qint16(quint16(Event::word(p, c, k)) - quint16(t[c][Event::cellOf(start, k)])));
    }
    return b;
}

// Run, Cancel, Save, "..." and Load enabled as given.
inline QString buttons(CalibrationDialog &d)
{
    Ui_CalibrationDialog *ui = CalibrationDialogAccess::ui(d);
    QString s;
    for (QPushButton *b : {ui->btnCalibrationRun, ui->btnCancel, ui->btnSave, ui->btnFile, ui->btnLoad})
        s += b->isEnabled() ? QLatin1Char('1') : QLatin1Char('0');
    return s;
}

// A message box of the application's title with one OK button.
inline void checkBox(const BoxRecord &box, const QString &text, QMessageBox::Icon icon = QMessageBox::Warning)
{
    QCOMPARE(box.title, QCoreApplication::applicationName());
    QCOMPARE(box.text, text);
    QCOMPARE(box.icon, icon);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
}

} // namespace calib

#endif
