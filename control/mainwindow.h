#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QVector>
#include <functional>

class QCloseEvent;
class QFile;
class QHostAddress;
class QTcpServer;
class QTimer;
class QTcpThread;
class QUdpThread;
class QServerSocket;
class Ui_MainWindow;

// The acquisition control window: board connection, trigger and sampling
// settings, acquisition control, run files, registers, EEPROM and the
// command server.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    MainWindow(bool useT0, int limitMiB, QWidget *parent = nullptr);
    ~MainWindow() override;

protected:
    void closeEvent(QCloseEvent *event) override;

signals:
    void closeWindow();
    void newData(QByteArray *data, int sampling);
    void startTrigger();
    void received();

public slots:
    void tick();
    void setTcp(quint16 port);
    void setStatus(quint8 status);
    void exec(const QString &text);
    void on_graph_clicked();
    void connectionClosed();
    void connected();
    void error(QString text);
    void updateData(QByteArray *data);
    void setVth(qint16 vth);
    void getConnection();
    void deleteClient();
    void runCommand(QString line);
    void appendLog(QString text);
    void on_single_clicked();
    void on_start_clicked();
    void on_stop_clicked();
    void on_reset_clicked();
    void on_pushButton_clicked();
    void on_VthMonitor_clicked();
    void on_calibration_clicked();
    void on_usingCalibration_stateChanged();
    void udpError(const QString &text);
    void udpStopped(bool ok);
    void on_read_clicked();
    void on_write_clicked();
    void on_comboBox_currentIndexChanged(int index);
    void on_tabWidget_currentChanged(int index);
    void on_toolButton_clicked();
    void on_actionQuit_triggered();
    void on_ok_clicked();
    void on_cancel_clicked();
    void on_saveROM_clicked();
    void on_sign0_currentIndexChanged(int index);
    void on_sign1_currentIndexChanged(int index);
    void on_serverStart_clicked();

    friend struct MainWindowAccess; // tests inspect the members through it

private:
    // Acquisition control (acquisition.cpp)
    void startAcquisition(bool continuous);
    void connectDataStream(bool continuous);
    void clearEvent();
    quint8 controlRegister() const;
    void writeControl(quint8 value);
    void unlockControls();
    void enableStartControls();
    void takeBlock(QByteArray &&block, bool fromReader);
    void takeFromReader();
    void pauseTakingBlocks(int ms);
    void writeStopNow();
    // While a block is being handled a modal box may run a nested event loop:
    // a block or the stream's end arriving then waits here.
    int blockDepth = 0;
    QByteArray heldBlock;
    bool readerHeld = false;  // the reader's block waits until the box returns
    bool closePending = false;
    // A window start asked for while the last stream was still ending.
    enum { NoPendingStart, PendingSingle, PendingContinuous };
    int pendingStart = NoPendingStart;
    bool stopping = false;    // inside Stop's pause
    QElapsedTimer lastEvent;  // for the tick: one second after the last event
    // -- end acquisition.cpp
    // Run files (runfile.cpp)
    bool openRun();
    QString runFileName(int index) const;
    bool confirmReplace(const QString &name);
    bool openRunFile(const QString &name);
    bool appendBlock(const QByteArray &block);
    void closeRun(bool advance);
    void abandonRun();
    QString runDirectory;
    qint64 runFileBytes = 0; // bytes written to the current run file
    // -- end runfile.cpp
    // Trigger, sampling and condition display (trigger.cpp)
    bool applyTrigger();
    static bool triggerDelayCode(const QString &text, int *code);
    static bool triggerThreshold(const QString &text, qint16 *vth);
    void updateFromRegisters();
    void showCondition(bool setup);
    void setTriggerInputsEnabled(bool enabled);
    // -- end trigger.cpp
    // Board connection, network settings, link errors (connection.cpp)
    void setBoardTabsEnabled(bool enabled);
    bool fromOtherWorker() const;
    void discardWorker();
    void startTabJob(int index);
    bool checkTarget(const QString &portText, quint16 *port, QHostAddress *host);
    QString targetRefusal(const QString &portText, quint16 *port, QHostAddress *host) const;
    // -- end connection.cpp
    // Graph windows (graphs.cpp)

    // -- end graphs.cpp
    // Offset calibration (calibration.cpp)
    void correctOffsets();
    void offerOffsetCorrection();
    // -- end calibration.cpp
    // Threshold monitor (vthmonitor.cpp)

    // -- end vthmonitor.cpp
    // Registers and EEPROM tabs (registers.cpp)
    void refreshSettings();
    bool askOkCancel(const QString &question);
    void setSignCell(int row, int index);
    // -- end registers.cpp
    // The worker's runs and what waits for them (worker.cpp)
    quint64 startWorker(int mode);
    bool endWorkerRun();
    void settleWorker();
    bool workerBusy() const;
    bool workerWriting() const;
    void workerRunEnded(bool ok);
    void forgetWorkerRuns();
    bool writePending() const;
    void dropWindowJobs(bool keepWrites);
    void whenWorkerFree(std::function<void()> job, int kind = WaitWindowJob);
    void resumeWaiting();
    void runWaiting();
    void notDone(const QString &what);
    // The runs the window has started and whose end (closed, or an error
    // once its box has been answered) it has not handled yet, oldest first.
    // Only the window starts runs, so this is the worker's state as far as
    // the window is concerned, whatever the thread is doing right now.
    struct WorkerRun {
        quint64 serial;
        int mode;
    };
    QList<WorkerRun> workerRuns;
    quint64 lastRunSerial = 0;
    // What has to wait for a flush, EEPROM save or network write to end, or
    // for the last stream's end, in the order it came: window jobs (the tabs
    // are locked meanwhile; a confirmed EEPROM save or network write is a
    // write job) and clients' commands (the client is held).
    enum WaitKind { WaitCommand, WaitWindowJob, WaitTabJob, WaitWriteJob };
    struct Waiting {
        WaitKind kind;
        std::function<bool()> blocked;
        std::function<void()> run;
    };
    QList<Waiting> waiting;
    bool waitingPosted = false;
    bool waitingRunning = false;
    // The window was closed while a save or network write ran: it closes
    // once that run has ended.
    bool closeWhenDone = false;
    // -- end worker.cpp
    // Command server (commands.cpp)
    void stopServer();
    void startSampling(QServerSocket *client, bool continuous);
    bool setCondition(QServerSocket *client, bool setup, QString *refusal = nullptr);
    bool refuseWhileRunning(QServerSocket *client);
    bool refuseUnlessIdle(QServerSocket *client);
    bool refuseWithoutBoard(QServerSocket *client);
    void sendReply();
    void deferReply(QServerSocket *client, const QString &text, quint64 run);
    void endReply();
    bool reachable(QServerSocket *client) const;
    bool sendTo(QServerSocket *client, const QByteArray &bytes);
    void answer(QServerSocket *client, const QString &text);
    void answerStart(QServerSocket *client, const QString &status);
    QString triggerRefusal() const;
    QString streamTargetRefusal() const;
    void writeSetting(QServerSocket *client, int address, quint8 value, const QString &reply);
    void handleCommand(QServerSocket *from, quint64 id, const QString &line);
    bool commandWaits(const QString &line) const;
    bool commandBlocked(const QString &line) const;
    void serverLinkError(const QString &text);
    void serverRunEnded(quint64 run, bool ok);
    void serverConnected();
    void disposeClients();
    int logLines = 0;
    // The deferred reply's client, held until the reply has gone, and the
    // worker run whose end delivers it (0: the stream's start does).
    QPointer<QServerSocket> replyOwner;
    quint64 replyRun = 0;
    // -- end commands.cpp

    QTcpThread *tcpThread = nullptr;
    QUdpThread *udpThread = nullptr;
    QTcpServer *server = nullptr;
    // Guarded: a client that has gone may still be handed its last lines.
    QPointer<QServerSocket> currentClient;
    QVector<QServerSocket *> clients;
    quint64 nextClientId = 0;
    QByteArray replyBuffer;
    QByteArray eventBuffer;
    QString boardInfo;
    QString logText;
    QString errorText;
    QString scratchText;
    quint8 drs4Config = 0;
    quint8 drs4WriteShift = 0;
    quint8 drs4WriteConfig = 0;
    quint8 adcDelayAdjust = 0;
    quint16 dacCodes[6] = {0, 0, 0, 0, 0, 0};
    QString dacShown[6]; // the DAC fields' texts as the refresh set them
    QString ipAddress;
    quint16 udpPort = 4660;
    quint16 tcpPort = 0;
    quint8 samplingCode = 0;
    quint64 runNumber = 0;
    QTimer *timer = nullptr;
    QString runFileBase;
    QFile *runFile = nullptr;
    qint64 fileSizeLimit = 0;
    int fileIndex = 0;
    bool useT0 = false;
    bool serverRunning = false;
    bool continuousMode = false;
    bool running = false;
    bool setupCondition = false;
    int calibrationMode = 0;
    Ui_MainWindow *ui = nullptr;
};

#endif
