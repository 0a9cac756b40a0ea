#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "eventblock.h"
#include "graphwindow.h"

#include <QStringList>

#include <algorithm>
#include <climits>

namespace {

constexpr int LastChannel = Event::Channels - 1;

// A channel number of the list: decimal, blanks around it allowed; no number
// or one above `maximum` gives `otherwise`, a negative one 0.
int channelNumber(const QString &text, int otherwise, int maximum)
{
    const QString digits = text.trimmed();
    bool ok = false;
    int n = digits.toInt(&ok, 10);
    if (!ok) {
        // Digits too many for an int still make a number, beyond any channel.
        const bool sign = digits.startsWith(QLatin1Char('+')) || digits.startsWith(QLatin1Char('-'));
        if (digits.size() <= int(sign)
            || !std::all_of(digits.begin() + int(sign), digits.end(),
                            [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }))
            return otherwise;
        n = digits.startsWith(QLatin1Char('-')) ? -1 : INT_MAX;
    }
    if (n < 0)
        return 0;
    return n > maximum ? otherwise : n;
}

// Channels of a list such as " 0-15" or "0-3,8,12-15".
void selectChannels(const QString &text, bool channelOn[16])
{
    const QStringList pieces = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &piece : pieces) {
        const QStringList numbers = piece.split(QLatin1Char('-'), Qt::SkipEmptyParts);
        if (numbers.isEmpty())
            continue;
        const int a = channelNumber(numbers.first(), 0, INT_MAX);
        if (numbers.size() == 1) {
            if (a <= LastChannel)
                channelOn[a] = true;
            continue;
        }
        const int b = channelNumber(numbers.last(), LastChannel, LastChannel);
        for (int c = a; c <= b; ++c)
            channelOn[c] = true;
    }
}

} // namespace

void MainWindow::on_graph_clicked()
{
    auto *w = new GraphWindow(useT0);
    connect(this, &MainWindow::closeWindow, w, &GraphWindow::closeWindow);
    connect(this, &MainWindow::startTrigger, w, &GraphWindow::waitData);
    connect(this, &MainWindow::newData, w, &GraphWindow::replot);

    selectChannels(ui->lineEdit->text(), w->channelOn);

    const QString title = QStringLiteral("Graph ") + ui->lineEdit->text();
    w->initPlot(&title, &eventBuffer, samplingCode);
    w->show();
}
