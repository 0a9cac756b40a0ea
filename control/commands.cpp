#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "qserversocket.h"
#include "eventblock.h"
#include "qtcpthread.h"
#include "qudpthread.h"
#include "registermap.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QMessageBox>
#include <QPointer>
#include <QScrollBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextCursor>
#include <QTextDocument>
#include <QThread>

namespace {

const char Prompt[] = "Zentrofa>";
const char NoBoard[] = "No board. Please read the board first.";

// A board report has been read: the image holds the registers up to the
// sampling register.
bool boardRead(const QUdpThread *worker)
{
    return worker && worker->registerCount() > Reg::Sampling;
}

// Lines the Server tab keeps; older ones are dropped.
const int MaxLogLines = 10000;
const int LogSlack = 1000;
// Characters the log keeps of one line (a client's line may be 64 KiB).
const int MaxLogLineLength = 1024;

// Lines longer than the log keeps are cut, with their length said.
QString shortLines(const QString &text)
{
    if (text.size() <= MaxLogLineLength)
        return text;
    QStringList lines = text.split(QLatin1Char('\n'));
    bool cut = false;
    for (QString &line : lines) {
        if (line.size() > MaxLogLineLength) {
            line = line.left(MaxLogLineLength) + QStringLiteral("... (%1 characters)").arg(line.size());
            cut = true;
        }
    }
    return cut ? lines.join(QLatin1Char('\n')) : text;
}

QString stamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy/MM/dd hh:mm:ss "));
}

void toCrLf(QByteArray &reply)
{
    reply.replace("\n", "\r\n");
}

// Reply of a settings command: the status ("OK" when none) and the echo
// line "name:value".
QString settingReply(const QString &status, const char *name, const QString &value)
{
    return (status.isEmpty() ? QStringLiteral("OK") : status) + QLatin1Char('\n') + QLatin1String(name)
        + QLatin1Char(':') + value + QLatin1Char('\n');
}

// "code(time ns)", the time as the delay field shows it.
QString delayEcho(int code, const QString &ns)
{
    return QStringLiteral("%1(%2ns)").arg(QString::number(code), ns);
}

// A command text without its line end, and its words.
QStringList commandWords(const QString &line, QString *text)
{
    *text = line;
    text->chop(text->endsWith(QLatin1String("\r\n")) ? 2 : 1);
    return text->split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// A parameter taken as it stands: decimal digits only, nothing around them
// (no sign, blank or line end), at most max.
bool decimalParameter(QStringView text, uint max, uint *value)
{
    if (text.isEmpty())
        return false;
    for (QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    bool ok = false;
    const qulonglong v = text.toULongLong(&ok, 10);
    if (!ok || v > max)
        return false;
    *value = uint(v);
    return true;
}

QString conditionName(bool setup)
{
    return setup ? QStringLiteral("setup") : QStringLiteral("idle");
}

// The clients as guarded pointers: a client a send closes may be deleted
// while the others are still gone through.
template<class List> QVector<QPointer<QServerSocket>> guarded(const List &clients)
{
    QVector<QPointer<QServerSocket>> list;
    list.reserve(clients.size());
    for (QServerSocket *c : clients)
        list << c;
    return list;
}

// A reply logged for a client that has gone.
const char NotSent[] = "(not sent: the client has gone)\n";

// The 10 ms pause after every immediate reply.
void replyPause()
{
    QThread::usleep(10000);
}

const char *const HelpLines[] = {
    "single :start a sampling only once",
    "start :start a consecutive sampling",
    "stop :stop sampling",
    "condition [setup/idle] :set/show DRS4 PLL condition",
    "rate [1/2/3/5] :set/show sampling rate",
    "trigger [NIM0/NIM1/ch[0-15]] :set/show trigger source",
    "delay [0-255] :set/show trigger delay",
    "help :show this message",
    "quit :finish this connection",
};

} // namespace

// ---- server life cycle ----

void MainWindow::on_serverStart_clicked()
{
    if (serverRunning) {
        // A start still connecting is ended like a running one.
        const bool connecting = tcpThread && !tcpThread->isAborted() && !tcpThread->isDraining();
        if (running || connecting) {
            on_stop_clicked();
            if (udpThread && !workerBusy())
                udpThread->stop();
        }
        stopServer();
        for (int i = 0; i <= 3; ++i)
            ui->tabWidget->setTabEnabled(i, true);
        return;
    }

    const quint16 port = quint16(ui->serverPort->value());
    server = new QTcpServer(this);
    if (!server->listen(QHostAddress::Any, port)) {
        const QString why = server->errorString();
        delete server;
        server = nullptr;
        QMessageBox::warning(this, QString(), QStringLiteral("Unable to start the server: %1").arg(why));
        return;
    }
    connect(server, &QTcpServer::newConnection, this, &MainWindow::getConnection);
    logText = QString();
    logLines = 0;
    ui->log->clear();
    appendLog(QStringLiteral("The server is running on port:%1\n").arg(server->serverPort()));
    serverRunning = true;
    ui->serverStart->setText(tr("&Stop"));
    for (int i = 0; i <= 3; ++i)
        ui->tabWidget->setTabEnabled(i, false);
}

void MainWindow::stopServer()
{
    if (server) {
        disconnect(server, &QTcpServer::newConnection, this, &MainWindow::getConnection);
        server->close();
        server->deleteLater();
        server = nullptr;
        disposeClients();
    }
    endReply();
    waiting.removeIf([](const Waiting &w) { return w.kind == WaitCommand; });
    running = false;
    serverRunning = false;
    ui->serverStart->setText(tr("&Start"));
}

// Closes every client without signalling (server stop, window
// destruction), those that have gone and still had lines to hand out too.
void MainWindow::disposeClients()
{
    const QVector<QPointer<QServerSocket>> list = guarded(findChildren<QServerSocket *>(Qt::FindDirectChildrenOnly));
    clients.clear();
    currentClient = nullptr;
    for (const QPointer<QServerSocket> &c : std::as_const(list))
        if (c)
            c->dispose(false);
}

void MainWindow::getConnection()
{
    while (server && server->hasPendingConnections()) {
        QTcpSocket *socket = server->nextPendingConnection();
        if (!socket)
            return;
        const quint64 id = nextClientId++;
        QServerSocket *client = new QServerSocket(id, socket, this);
        connect(client, &QServerSocket::received, this, &MainWindow::runCommand);
        connect(client, &QServerSocket::strErr, this, &MainWindow::appendLog);
        connect(client, &QServerSocket::disconnected, this, &MainWindow::deleteClient);
        clients.append(client);
        appendLog(QStringLiteral("\n") + stamp()
                  + QStringLiteral("Connection ID: %1\nOK:Connected\n").arg(id));
        sendTo(client, QByteArrayLiteral("OK:Connected\r\nZentrofa>"));
    }
}

void MainWindow::deleteClient()
{
    QServerSocket *client = qobject_cast<QServerSocket *>(sender());
    if (!client)
        return;
    appendLog(stamp() + QStringLiteral("Disconnect %1\n").arg(client->id()));
    clients.removeOne(client);
    if (client == currentClient)
        currentClient = nullptr;
}

// Appends to the log and shows it; only the last MaxLogLines lines are kept,
// each cut at MaxLogLineLength characters.
void MainWindow::appendLog(QString text)
{
    text = shortLines(text);
    logText += text;
    logLines += text.count(QLatin1Char('\n'));
    if (logLines > MaxLogLines + LogSlack) {
        int drop = logLines - MaxLogLines;
        int pos = -1;
        while (drop-- > 0)
            pos = logText.indexOf(QLatin1Char('\n'), pos + 1);
        logText.remove(0, pos + 1);
        logLines = MaxLogLines;
    }

    QTextDocument *doc = ui->log->document();
    if (doc->maximumBlockCount() != MaxLogLines + 1)
        doc->setMaximumBlockCount(MaxLogLines + 1);
    QScrollBar *bar = ui->log->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    QTextCursor cursor(doc);
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    if (atEnd)
        bar->setValue(bar->maximum());
}

// ---- replies ----

// A client still connected (a null pointer from a guard is none).
bool MainWindow::reachable(QServerSocket *client) const
{
    return client && clients.contains(client) && client->isActive();
}

// Sends to a client that is still connected; one that has gone gets nothing.
bool MainWindow::sendTo(QServerSocket *client, const QByteArray &bytes)
{
    return reachable(client) && client->send(bytes);
}

// Immediate text reply and refusal: logged as built, sent with CR LF line
// ends and the prompt, then the 10 ms pause.
void MainWindow::answer(QServerSocket *client, const QString &text)
{
    if (!reachable(client)) {
        appendLog(text + QLatin1String(NotSent));
        return;
    }
    appendLog(text);
    QByteArray reply = text.toLatin1();
    toCrLf(reply);
    reply += Prompt;
    sendTo(client, reply);
    replyPause();
}

// Fixed-form reply of "single", "start" and "stop": sent, then logged.
void MainWindow::answerStart(QServerSocket *client, const QString &status)
{
    QByteArray reply;
    if (status == QLatin1String("OK"))
        reply = QByteArrayLiteral("OK\r\n");
    else
        reply = "NG\r\n" + status.toLatin1() + "\r\n";
    reply += Prompt;
    const bool sent = sendTo(client, reply);
    appendLog((status == QLatin1String("OK") ? QStringLiteral("OK\n") : QStringLiteral("NG:") + status + QLatin1Char('\n'))
              + QLatin1String(sent ? "" : NotSent));
}

// A reply that comes once the board has the write (the run `run` has ended)
// or, with run 0, once the stream is up. Its client's next lines wait until
// it has gone out, so that client's replies keep the order of its lines.
void MainWindow::deferReply(QServerSocket *client, const QString &text, quint64 run)
{
    endReply();
    currentClient = client;
    replyBuffer = text.toLatin1();
    replyRun = run;
    replyOwner = client;
    if (client)
        client->hold();
}

// No reply is pending any more (sent, dropped or cleared): the client it
// answered goes on.
void MainWindow::endReply()
{
    replyBuffer.clear();
    replyRun = 0;
    if (QServerSocket *owner = replyOwner.data())
        owner->release();
    replyOwner = nullptr;
}

void MainWindow::sendReply()
{
    if (replyBuffer.isEmpty())
        return;
    QByteArray reply = replyBuffer;
    QPointer<QServerSocket> client(currentClient);
    endReply();
    if (!reachable(client)) {
        // Its client has gone (closed, or closed its sending side): nobody
        // hears of it, and the log does not say it was answered.
        appendLog(QString::fromLatin1(reply) + QLatin1String(NotSent));
        return;
    }
    appendLog(QString::fromLatin1(reply));
    toCrLf(reply);
    reply += Prompt;
    sendTo(client.data(), reply);
}

bool MainWindow::refuseWhileRunning(QServerSocket *client)
{
    // A stream still connecting counts too: a flush run would stop the
    // polling that is to send its start bit.
    const bool connecting = tcpThread && !tcpThread->isAborted() && !tcpThread->isDraining();
    if (!running && !connecting)
        return false;
    answer(client, QStringLiteral("NG:Unable to execute. Please retry after stop.\n"));
    return true;
}

bool MainWindow::refuseUnlessIdle(QServerSocket *client)
{
    if (!setupCondition)
        return false;
    answer(client, QStringLiteral("NG:Unable to execute. Please retry on idle.\n"));
    return true;
}

// Commands that need the board answer NG until a board report has been read.
bool MainWindow::refuseWithoutBoard(QServerSocket *client)
{
    if (boardRead(udpThread))
        return false;
    answer(client, QStringLiteral("NG:") + QLatin1String(NoBoard) + QLatin1Char('\n'));
    return true;
}

// ---- commands that wait ----

// Commands that keep their order when one of them has to wait: a start, a
// set command and a stop.
bool MainWindow::commandWaits(const QString &line) const
{
    QString text;
    const QStringList words = commandWords(line, &text);
    const QString command = words.value(0);
    const bool starts = command == QLatin1String("single") || command == QLatin1String("start");
    const bool sets = words.size() == 2
        && (command == QLatin1String("condition") || command == QLatin1String("rate")
            || command == QLatin1String("trigger") || command == QLatin1String("delay"));
    if (!starts && !sets && command != QLatin1String("stop"))
        return false;
    for (const Waiting &w : waiting)
        if (w.kind == WaitCommand)
            return true;
    return commandBlocked(line);
}

// A start waits while the last stream is still taking the board's last
// blocks (its end would refuse the start); a start, a set command and a stop
// that has a write to send wait while a long run goes (a run still going
// would swallow the next one, and a flush is never cut short).
bool MainWindow::commandBlocked(const QString &line) const
{
    QString text;
    const QStringList words = commandWords(line, &text);
    const QString command = words.value(0);
    const bool starts = command == QLatin1String("single") || command == QLatin1String("start");
    if (starts && tcpThread && !running && (tcpThread->isDraining() || tcpThread->isAborted()))
        return true;
    if (command == QLatin1String("stop") && !running)
        return false;
    return workerBusy();
}

// ---- link errors and link state ----

// Register-link error: every client hears of it, then the server stops.
void MainWindow::serverLinkError(const QString &text)
{
    if (!server)
        return;
    endReply();
    const QString message = QStringLiteral("NG\nUDP error! - ") + text + QLatin1Char('\n');
    appendLog(message);
    QByteArray reply = message.toLatin1();
    toCrLf(reply);
    for (const QPointer<QServerSocket> &c : guarded(clients))
        sendTo(c.data(), reply);
    stopServer();
    appendLog(stamp() + QStringLiteral("Disconnect all\n"));
}

// End of a worker run: delivers the deferred reply when this is the run
// that carried its writes and the run completed.
void MainWindow::serverRunEnded(quint64 run, bool ok)
{
    if (replyRun == 0 || run != replyRun)
        return;
    if (ok && serverRunning) {
        sendReply();
        return;
    }
    // The write did not reach the board: no "OK" for it.
    if (!replyBuffer.isEmpty())
        appendLog(QString::fromLatin1(replyBuffer) + QStringLiteral("(not sent: the write did not complete)\n"));
    endReply();
}

// Data stream up and board armed: the "OK" of "single" or "start".
void MainWindow::serverConnected()
{
    if (serverRunning && replyRun == 0)
        sendReply();
}

// ---- the interpreter ----

// A target the data stream cannot use, as the window's warning would say it.
QString MainWindow::streamTargetRefusal() const
{
    quint16 port = 0;
    QHostAddress host;
    return targetRefusal(ui->tcp->text(), &port, &host);
}

// What the window's trigger check would refuse on the way to setup.
QString MainWindow::triggerRefusal() const
{
    int code = 0;
    if (!triggerDelayCode(ui->delay->text(), &code))
        return QStringLiteral("NG:Invalid Trigger Delay: %1").arg(ui->delay->text());
    qint16 vth = 0;
    if (!triggerThreshold(ui->Vth->text(), &vth))
        return QStringLiteral("NG:Invalid Trigger Vth: %1").arg(ui->Vth->text());
    return QString();
}

void MainWindow::startSampling(QServerSocket *client, bool continuous)
{
    // A stream still connecting counts as started too: a second one would
    // run over it.
    if (running || tcpThread) {
        answerStart(client, QStringLiteral("Already started"));
        return;
    }
    if (!boardRead(udpThread)) {
        answerStart(client, QLatin1String(NoBoard));
        return;
    }
    const QString refusal = streamTargetRefusal();
    if (!refusal.isEmpty()) {
        answerStart(client, refusal);
        return;
    }

    startWorker(QUdpThread::ModePoll);
    connectDataStream(continuous);
    if (!tcpThread) {
        if (udpThread)
            udpThread->stop();
        answerStart(client, QStringLiteral("Unable to start the data stream"));
        return;
    }
    deferReply(client, QStringLiteral("OK\n"), 0);
}

// Queues the write of one register a set command changed and starts the
// flush run whose end delivers the reply.
void MainWindow::writeSetting(QServerSocket *client, int address, quint8 value, const QString &reply)
{
    udpThread->setRegister(address, value);
    udpThread->writeRegisters(address, 1);
    deferReply(client, reply, startWorker(QUdpThread::ModeFlush));
}

bool MainWindow::setCondition(QServerSocket *client, bool setup, QString *refusal)
{
    if (!udpThread)
        return false;
    if (udpThread->registerCount() > Reg::Control) {
        if (bool(udpThread->registerValue(Reg::Control) & Reg::ControlSetup) == setup)
            return false;
        if (setup) {
            const QString why = triggerRefusal();
            if (!why.isEmpty()) {
                if (refusal)
                    *refusal = why;
                return false;
            }
        }
        settleWorker();
        on_pushButton_clicked();
        // The toggle's own checks (and the box it then shows) may refuse.
        if (!udpThread || bool(udpThread->registerValue(Reg::Control) & Reg::ControlSetup) != setup) {
            if (refusal)
                *refusal = QStringLiteral("NG:Trigger settings refused");
            return false;
        }
    }
    setupCondition = setup;
    deferReply(client, settingReply(QString(), "condition", conditionName(setup)), startWorker(QUdpThread::ModeFlush));
    return true;
}

void MainWindow::runCommand(QString line)
{
    QServerSocket *from = qobject_cast<QServerSocket *>(sender());
    if (!from || !serverRunning)
        return;
    if (commandWaits(line)) {
        // Its client's next lines wait behind it; it runs even if the client
        // has gone meanwhile (only its replies go nowhere).
        QPointer<QServerSocket> client(from);
        const quint64 id = from->id();
        from->hold();
        waiting.append({WaitCommand, [this, line] { return commandBlocked(line); },
                        [this, client, id, line] {
                            handleCommand(client.data(), id, line);
                            if (client)
                                client->release();
                        }});
        return;
    }
    handleCommand(from, from->id(), line);
}

// One command of a client (null when it has gone) with that connection ID.
void MainWindow::handleCommand(QServerSocket *from, quint64 id, const QString &line)
{
    // The client may go while a reply is sent or a box is open.
    QPointer<QServerSocket> client(from);

    QString text;
    const QStringList words = commandWords(line, &text);
    const QString command = words.value(0);
    const bool setForm = words.size() == 2;
    const QString param = setForm ? words.at(1) : QString();

    currentClient = from;
    appendLog(stamp() + QStringLiteral("Client[%1] %2\n").arg(QString::number(id), text));
    if (words.isEmpty()) {
        sendTo(client, QByteArray(Prompt));
        replyPause();
        return;
    }
    // Re-read the client before every send: it may have gone meanwhile.
    auto to = [&client] { return client.data(); };

    if (command == QLatin1String("read")) {
        quint16 n = 0;
        if (eventBuffer.size() >= Event::HeaderSize)
            n = quint16((eventBuffer.size() - Event::HeaderSize) / 2);
        QByteArray reply;
        reply.reserve(2 + 2 * n + 9);
        reply.append(char(n >> 8));
        reply.append(char(n & 0xFF));
        reply.append(eventBuffer.right(2 * n));
        reply.append(Prompt);
        if (sendTo(to(), reply)) {
            appendLog(QStringLiteral("OK:%1word(%2byte) data transferred\n").arg(n).arg(2 * int(n)));
            clearEvent();
        } else {
            // The event stays for the next "read".
            appendLog(QStringLiteral("NG:%1word(%2byte) data not transferred\n").arg(n).arg(2 * int(n)));
        }
        replyPause();
    } else if (command == QLatin1String("single") || command == QLatin1String("start")) {
        startSampling(to(), command == QLatin1String("start"));
        replyPause();
    } else if (command == QLatin1String("stop")) {
        if (!running) {
            answerStart(to(), QStringLiteral("Already stopped"));
        } else {
            on_stop_clicked();
            QThread::usleep(1000000);
            running = false;
            if (!udpThread) {
                answerStart(to(), QLatin1String(NoBoard));
            } else {
                // A worker stopped by a stream error never took the stop write.
                const bool pending = udpThread->queuedRequests() > 0;
                udpThread->stop();
                if (pending) {
                    if (udpThread->queuedRequests() == 0)
                        udpThread->writeRegisters(Reg::Control, 1);
                    // It goes out in a run of its own, and "OK" once the board
                    // has it; a failed run is answered by the register-error
                    // broadcast.
                    deferReply(to(), QStringLiteral("OK\n"), startWorker(QUdpThread::ModeFlush));
                } else {
                    answerStart(to(), QStringLiteral("OK"));
                }
            }
        }
        replyPause();
    } else if (command == QLatin1String("condition")) {
        if (refuseWhileRunning(to()) || refuseWithoutBoard(to()))
            return;
        QString status;
        if (setForm && (param == QLatin1String("idle") || param == QLatin1String("setup"))) {
            const bool setup = param == QLatin1String("setup");
            if (setCondition(to(), setup, &status))
                return;
            if (status.isEmpty())
                status = setup ? QStringLiteral("NG:Already setup") : QStringLiteral("NG:Already set to idle");
        } else if (setForm) {
            status = QStringLiteral("NG:invalid parameter for condition - ") + param;
        }
        answer(to(), settingReply(status, "condition", conditionName(setupCondition)));
    } else if (command == QLatin1String("rate")) {
        if (refuseWhileRunning(to()) || refuseUnlessIdle(to()) || refuseWithoutBoard(to()))
            return;
        QString status;
        if (setForm) {
            static const QStringList rates = {QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"),
                                              QStringLiteral("5")};
            const int code = rates.indexOf(param);
            if (code < 0) {
                status = QStringLiteral("NG:invalid parameter for rate - ") + param;
            } else if (code != ui->sampling->currentIndex()) {
                settleWorker();
                const int old = udpThread->registerValue(Reg::Sampling);
                ui->sampling->setCurrentIndex(code);
                samplingCode = quint8(ui->sampling->currentIndex() & Reg::SamplingCodeMask);
                writeSetting(to(), Reg::Sampling, quint8((old & ~Reg::SamplingCodeMask) | samplingCode),
                             settingReply(QString(), "rate", ui->sampling->currentText()));
                return;
            }
        }
        answer(to(), settingReply(status, "rate", ui->sampling->currentText()));
    } else if (command == QLatin1String("trigger")) {
        if (refuseWhileRunning(to()) || refuseUnlessIdle(to()) || refuseWithoutBoard(to()))
            return;
        QString status;
        if (setForm) {
            int index = -1;
            uint number = 0;
            if (param == QLatin1String("NIM0"))
                index = 0;
            else if (param == QLatin1String("NIM1"))
                index = 1;
            else if (param.startsWith(QLatin1String("ch")) && decimalParameter(QStringView(param).mid(2), 15, &number))
                index = int(number) + 2;
            if (index < 0) {
                status = QStringLiteral("NG:invalid parameter for trigger - ") + param;
            } else if (index != ui->comboBox->currentIndex()) {
                settleWorker();
                ui->comboBox->setCurrentIndex(index);
                const int i = ui->comboBox->currentIndex();
                quint8 value = i < 2 ? quint8(i) : quint8(((i - 2) & Reg::TriggerChannelMask) | Reg::TriggerChannel);
                if (ui->fall->isChecked())
                    value |= Reg::TriggerFalling;
                writeSetting(to(), Reg::TriggerSource, value,
                             settingReply(QString(), "trigger", ui->comboBox->currentText()));
                return;
            }
        }
        answer(to(), settingReply(status, "trigger", ui->comboBox->currentText()));
    } else if (command == QLatin1String("delay")) {
        if (refuseWhileRunning(to()) || refuseUnlessIdle(to()) || refuseWithoutBoard(to()))
            return;
        const int current = udpThread->registerValue(Reg::TriggerDelay);
        QString status;
        if (setForm) {
            uint v = 0;
            if (!decimalParameter(param, 255, &v)) {
                status = QStringLiteral("NG:invalid parameter for delay - ") + param;
            } else if (int(v) != current) {
                settleWorker();
                ui->delay->setText(QString::number(v * Reg::TriggerDelayStepNs, 'g', 6));
                writeSetting(to(), Reg::TriggerDelay, quint8(v),
                             settingReply(QString(), "delay", delayEcho(int(v), ui->delay->text())));
                return;
            }
        }
        answer(to(), settingReply(status, "delay", delayEcho(current, ui->delay->text())));
    } else if (command == QLatin1String("help") || command == QLatin1String("?")) {
        QString help;
        for (const char *h : HelpLines)
            help += QLatin1String(h) + QLatin1Char('\n');
        answer(to(), help);
    } else if (command == QLatin1String("quit")) {
        // Said goodbye to and closed by the client's own framing.
        replyPause();
    } else {
        answer(to(), QStringLiteral("Unknown Command: ") + command + QLatin1Char('\n'));
    }
}
