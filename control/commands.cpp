#include "mainwindow.h"
#include "ui_mainwindow.h"

void MainWindow::getConnection()
{
}

void MainWindow::deleteClient()
{
}

void MainWindow::runCommand(QString)
{
}

void MainWindow::appendLog(QString)
{
}

void MainWindow::on_serverStart_clicked()
{
}

