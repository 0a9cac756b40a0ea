#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "qtcpthread.h"
#include "qudpthread.h"

#include <QAbstractItemView>
#include <QFile>
#include <QFont>
#include <QTimer>

// The images live in a static library; this pulls them in.
static void initImages()
{
    Q_INIT_RESOURCE(images);
}

MainWindow::MainWindow(bool useT0, int limitMiB, QWidget *parent)
    : QMainWindow(parent)
{
    initImages();
    ui = new Ui_MainWindow;
    ui->setupUi(this);

    // The report font is a Japanese fixed-width face; Qt falls back when it is missing.
    ui->textEdit->setFont(QFont(QString::fromUtf8("ＭＳ ゴシック"), 9));
    ui->tableWidget->setEditTriggers(QAbstractItemView::NoEditTriggers);

    ui->serverStart->setAutoDefault(true);
    ui->pushButton->setAutoDefault(true);
    ui->single->setAutoDefault(true);
    ui->start->setAutoDefault(true);
    ui->stop->setAutoDefault(true);
    ui->read->setAutoDefault(true);
    ui->write->setAutoDefault(false);

    timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &MainWindow::tick);

    fileSizeLimit = qint64(limitMiB) * 1048576;
    this->useT0 = useT0;
    tcpThread = nullptr;
    udpThread = nullptr;
    server = nullptr;
    runFile = nullptr;
    serverRunning = false;
    continuousMode = false;
    running = false;
    ipAddress = QStringLiteral("192.168.10.16");
    udpPort = 4660;
    nextClientId = 0;
    calibrationMode = 0;

    if (useT0)
        ui->calibration->setEnabled(false);
    ui->usingCalibration->setEnabled(false);

    setBoardTabsEnabled(false);
}

MainWindow::~MainWindow()
{
    disposeClients();
    // Closed during an acquisition: the board is stopped too, so it does not
    // go on acquiring into the next run.
    const bool armed = tcpThread && running;
    if (tcpThread) {
        tcpThread->stop();
        delete tcpThread;
        tcpThread = nullptr;
    }
    if (udpThread && armed)
        writeStopNow();
    if (udpThread) {
        udpThread->stop();
        delete udpThread;
        udpThread = nullptr;
    }
    delete runFile;
    runFile = nullptr;
    delete ui;
    ui = nullptr;
}

void MainWindow::on_actionQuit_triggered()
{
    close();
}
