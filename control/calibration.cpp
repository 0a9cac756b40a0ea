#include "mainwindow.h"
#include "ui_mainwindow.h"

void MainWindow::on_calibration_clicked()
{
}

void MainWindow::on_usingCalibration_stateChanged()
{
}
