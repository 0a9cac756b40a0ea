#include "mainwindow.h"
#include "ui_mainwindow.h"

void MainWindow::getConnection()
{
}

void MainWindow::deleteClient()
{
}

void MainWindow::runCommand(QString line)
{
}

void MainWindow::appendLog(QString text)
{
}

void MainWindow::on_serverStart_clicked()
{
}

