#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "calibrationdialog.h"

void MainWindow::on_calibration_clicked()
{
    calibrationMode = 2; // events pass raw while the dialog runs
    CalibrationDialog dialog(this);
    connect(this, &MainWindow::newData, &dialog, &CalibrationDialog::newData);
    connect(&dialog, &CalibrationDialog::start, this, &MainWindow::on_start_clicked);
    connect(&dialog, &CalibrationDialog::stop, this, &MainWindow::on_stop_clicked);
    dialog.exec();
    if (CalibrationDialog::isCalibrated())
        ui->usingCalibration->setEnabled(true);
    calibrationMode = ui->usingCalibration->isChecked() ? 1 : 0;
}

void MainWindow::on_usingCalibration_stateChanged()
{
    calibrationMode = ui->usingCalibration->isChecked() ? 1 : 0;
}

// The block just taken, before it is recorded and handed on.
void MainWindow::correctOffsets()
{
    if (calibrationMode == 1)
        CalibrationDialog::applyCalibration(&eventBuffer);
}

// At the end of a stream "Offset Correction" is usable once a table exists.
void MainWindow::offerOffsetCorrection()
{
    ui->usingCalibration->setEnabled(CalibrationDialog::isCalibrated());
}
