#ifndef GRAPHWINDOW_H
#define GRAPHWINDOW_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QPointer>
#include <QString>

class QCustomPlot;
class QTimer;
class Ui_GraphWindow;

// Waveform view of one event: one graph per selected channel, time in ns
// against the raw sample values. Follows the main window automatically or
// holds the shown event until Update (manual mode, which also saves CSV).
// Deletes itself when closed.
class GraphWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit GraphWindow(bool useT0, QWidget *parent = nullptr);
    ~GraphWindow() override;

    bool channelOn[16] = {};

    void initPlot(const QString *title, const QByteArray *event, int samplingCode);

    friend struct GraphWindowAccess; // tests inspect the members through it
    friend class MainWindow;         // connects its signals to the private slots

private slots:
    void closeWindow();
    void tick();
    void replot(QByteArray *data, int sampling);
    void waitData();
    void on_actionClose_triggered();
    void on_actionSave_triggered();
    void on_actionManual_toggled(bool on);
    void on_actionAuto_toggled(bool on);
    void on_actionUpdate_triggered();
    void paintLatest();

private:
    void drawGraphs(QCustomPlot *plot, const QByteArray *event);
    void setAutoUpdate(bool on);
    void enableUpdate(bool on);
    void widenRange(const QByteArray &event);
    void draw();
    bool saveCsv(const QString &fileName);

    int samplingCode = 0;
    int pendingSamplingCode = 0;
    bool graphsNeeded = true;
    bool autoUpdate = false;
    bool useT0 = false;
    double yLower = 4095.0;
    double yUpper = -4095.0;
    QByteArray shownEvent;
    const QByteArray *pendingEvent = nullptr;
    QTimer *timer = nullptr;
    Ui_GraphWindow *ui = nullptr;

    // Painting follows the screen, not the event rate: automatic updates
    // keep the newest event and draw it at most once per frame.
    QPointer<QObject> pendingOwner; // the sender whose buffer pendingEvent points into
    bool pendingFromSender = false;
    QTimer *frameTimer = nullptr;
    QElapsedTimer lastDraw;
    qint64 drawCostUs = 0;
    bool countedAutomatic = false;
    bool dirty = false;
};

#endif
