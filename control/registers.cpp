#include "mainwindow.h"
#include "ui_mainwindow.h"

void MainWindow::on_ok_clicked()
{
}

void MainWindow::on_cancel_clicked()
{
}

void MainWindow::on_saveROM_clicked()
{
}

void MainWindow::on_sign0_currentIndexChanged(int)
{
}

void MainWindow::on_sign1_currentIndexChanged(int)
{
}

