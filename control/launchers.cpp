#include "mainwindow.h"
#include "ui_mainwindow.h"

void MainWindow::on_graph_clicked()
{
}

void MainWindow::setVth(qint16)
{
}

void MainWindow::on_VthMonitor_clicked()
{
}

void MainWindow::on_calibration_clicked()
{
}

void MainWindow::on_usingCalibration_stateChanged()
{
}

