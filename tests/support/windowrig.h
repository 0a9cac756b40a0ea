// The real window read from the board emulator on 127.0.0.1, and what the
// emulator's request log says reached the board.
#ifndef WINDOWRIG_H
#define WINDOWRIG_H

#include "boardemulator.h"
#include "mainwindow.h"
#include "registermap.h"

#include <QLineEdit>
#include <QList>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

// The window's widget of that object name; a missing one ends the test run.
template<class T> T *child(MainWindow &w, const char *name)
{
    T *t = w.findChild<T *>(QLatin1String(name));
    if (!t)
        qFatal("widget %s missing", name);
    return t;
}

inline bool tabsEnabled(MainWindow &w)
{
    auto *tabs = child<QTabWidget>(w, "tabWidget");
    for (int i = 0; i <= 4; ++i)
        if (!tabs->isTabEnabled(i))
            return false;
    return true;
}

// Points the window at the emulator on 127.0.0.1, presses Read and waits
// until the report has made every tab usable.
inline bool readBoard(MainWindow &w, const BoardEmulator &emu)
{
    child<QLineEdit>(w, "address")->setText(QStringLiteral("127.0.0.1"));
    child<QLineEdit>(w, "udp")->setText(QString::number(emu.udpPort()));
    auto *read = child<QPushButton>(w, "read");
    read->click();
    return QTest::qWaitFor([&] { return read->isEnabled() && tabsEnabled(w); }, 10000);
}

// Every write the board got, in order.
inline QList<BoardEmulator::Request> writes(const BoardEmulator &emu)
{
    QList<BoardEmulator::Request> out;
    const QList<BoardEmulator::Request> log = emu.requests();
    for (const BoardEmulator::Request &r : log)
        if (r.write)
            out << r;
    return out;
}

// Values of the single-byte writes to the address, in order.
inline QList<int> writesTo(const QList<BoardEmulator::Request> &log, quint32 address)
{
    QList<int> values;
    for (const BoardEmulator::Request &r : log)
        if (r.write && r.address == address && r.length == 1 && !r.busError)
            values << quint8(r.data.at(0));
    return values;
}

inline QList<int> writesTo(const BoardEmulator &emu, quint32 address)
{
    return writesTo(emu.requests(), address);
}

// Values written to the ControlRegister, in order.
inline QList<int> controlWrites(const QList<BoardEmulator::Request> &log)
{
    return writesTo(log, Reg::Control);
}

inline QList<int> controlWrites(const BoardEmulator &emu)
{
    return controlWrites(emu.requests());
}

#endif
