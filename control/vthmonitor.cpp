#include "mainwindow.h"
#include "ui_mainwindow.h"

void MainWindow::setVth(qint16)
{
}

void MainWindow::on_VthMonitor_clicked()
{
}
