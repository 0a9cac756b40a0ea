#ifndef CALIBRATIONDIALOG_H
#define CALIBRATIONDIALOG_H

#include <QByteArray>
#include <QDialog>
#include <QVector>

class QCloseEvent;
class QKeyEvent;
class Ui_CalibrationDialog;

// Offset calibration: averages the samples of many events per channel and
// DRS4 cell into the process-wide offset table, saves and loads that table
// as CSV, and subtracts it from later events (applyCalibration).
class CalibrationDialog : public QDialog
{
    Q_OBJECT
public:
    explicit CalibrationDialog(QWidget *parent = nullptr);
    ~CalibrationDialog() override;

    // Subtracts the offsets from sample words 1..1023 of every channel of
    // one 32772-byte event, in place; anything else is left alone.
    static void applyCalibration(QByteArray *data);
    // True once a run has completed or a file has been loaded.
    static bool isCalibrated();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

signals:
    void start();
    void stop();

private slots:
    void on_btnCalibrationRun_clicked();
    void on_btnCancel_clicked();
    void on_btnSave_clicked();
    void on_btnFile_clicked();
    void on_btnLoad_clicked();
    void newData(QByteArray *data, int sampling);

    friend struct CalibrationDialogAccess; // tests inspect the members through it
    friend class MainWindow; // connects newData

private:
    void showRunning(bool running);

    Ui_CalibrationDialog *ui = nullptr;
    QVector<qint64> sums[16];
    QVector<qint64> counts[16];
    qint64 averageCount = 0;  // N of the last accepted Run
    qint64 triggerCount = 0;
    qint64 filled = 0;        // samples counted toward N, at most N per cell
    bool collecting = false;  // an accepted Run not cancelled since
};

#endif
