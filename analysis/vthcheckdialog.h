#ifndef VTHCHECKDIALOG_H
#define VTHCHECKDIALOG_H

#include <QDialog>
#include <QPointer>

class QPaintEvent;
class QUdpThread;
class Ui_VthCheckDialog;

// Threshold monitor: shows the signal minimum, average and maximum that the
// board reports for the trigger channel, brackets them with a slider and a
// coloured bar, and lets the operator pick a threshold.
class VthCheckDialog : public QDialog
{
    Q_OBJECT
public:
    VthCheckDialog(QUdpThread *worker, int threshold, QWidget *parent = nullptr);
    ~VthCheckDialog() override;

signals:
    void setVth(qint16 vth);

protected:
    void paintEvent(QPaintEvent *event) override;

private slots:
    void setStatus();
    void on_slider_sliderMoved(int position);
    void on_minEdit_editingFinished();
    void on_maxEdit_editingFinished();
    void on_spinBox_editingFinished();
    void on_pushButton_clicked();
    void on_ok_clicked();

private:
    friend struct VthCheckDialogAccess; // tests inspect the members through it
    friend class MainWindow; // connects setStatus

    void initialise(int minimum, int maximum, int average);
    void showRange(int threshold);

    // Not owned; goes null when a link error discards the worker meanwhile.
    QPointer<QUdpThread> udp;
    int updateCountdown = -1;
    int rangeMin = 0;
    int rangeMax = 0;
    int signalMin = 0;
    int signalMax = 0;
    int signalAverage = 0;
    Ui_VthCheckDialog *ui = nullptr;
};

#endif
