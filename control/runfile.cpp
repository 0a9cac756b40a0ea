#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>

// Opens the run directory and its first file; false when the start is refused.
bool MainWindow::openRun()
{
    // A file left open by an earlier run is closed before anything else.
    if (runFile)
        closeRun(false);

    const QString runText = ui->nRun->text();
    bool ok = false;
    const quint64 number = runText.toULongLong(&ok, 0);
    // Decimal, 0x hexadecimal or leading-0 octal only: no 0b binary.
    const QString digits = runText.trimmed();
    if (digits.startsWith(QLatin1String("0b"), Qt::CaseInsensitive)
        || digits.startsWith(QLatin1String("+0b"), Qt::CaseInsensitive))
        ok = false;
    if (!ok) {
        QMessageBox::warning(this, QString(), tr("Invalid Run Number: %1").arg(runText),
                             QMessageBox::Ok);
        return false;
    }
    runNumber = number;

    const QString base = QDir(ui->path->text()).absolutePath();
    if (!QFileInfo(base).isDir()) {
        QMessageBox question(QMessageBox::Warning, QString(),
                             tr("%1: The named directory does not exist, create it?").arg(base),
                             QMessageBox::Ok | QMessageBox::Cancel, this);
        question.setDefaultButton(QMessageBox::Cancel);
        if (question.exec() != QMessageBox::Ok)
            return false;
        if (!QDir().mkpath(base)) {
            QMessageBox::warning(this, QStringLiteral("QDir::mkpath()"),
                                 tr("%1: cannot create").arg(base), QMessageBox::Ok);
            return false;
        }
    }

    const QString number6 = QStringLiteral("%1").arg(runNumber, 6, 10, QLatin1Char('0'));
    const QString dir = base + QDir::separator() + QStringLiteral("DAT%1_").arg(number6)
        + QDate::currentDate().toString(QStringLiteral("yyyyMMdd"));
    if (QFileInfo::exists(dir)) {
        QMessageBox::warning(this, QString(),
                             tr("%1 already exists.").arg(dir)
                                 + tr("\nPlease retry with another Run Number."),
                             QMessageBox::Ok);
        return false;
    }
    if (!QDir().mkpath(dir)) {
        QMessageBox::warning(this, QStringLiteral("QDir::mkpath()"),
                             tr("%1: cannot create").arg(dir), QMessageBox::Ok);
        return false;
    }

    runDirectory = dir;
    fileIndex = 0;
    runFileBase = dir + QDir::separator() + QStringLiteral("DAT%1").arg(number6);
    const QString name = runFileName(fileIndex);
    return confirmReplace(name) && openRunFile(name);
}

QString MainWindow::runFileName(int index) const
{
    return runFileBase + QStringLiteral("_%1.bin").arg(index, 3, 10, QLatin1Char('0'));
}

// True when no file of that name exists or the operator agrees to replace it.
bool MainWindow::confirmReplace(const QString &name)
{
    if (!QFileInfo::exists(name))
        return true;
    return QMessageBox::warning(this, QString(),
                                tr("%1 already exists.\nDo you want to replace it?").arg(name),
                                QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        == QMessageBox::Yes;
}

// Makes `name` the current run file; on failure runFile stays null.
bool MainWindow::openRunFile(const QString &name)
{
    runFile = new QFile(name);
    // Unbuffered: every block goes to the file at once and a failed write shows at once.
    if (runFile->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        runFileBytes = 0;
        ++fileIndex;
        return true;
    }
    const QString reason = runFile->errorString();
    delete runFile;
    runFile = nullptr;
    QMessageBox::warning(this, QCoreApplication::applicationName(),
                         tr("Cannot open file for saving: %1.").arg(reason), QMessageBox::Ok);
    return false;
}

// Appends one block, rolling over at the size limit. False only when the
// operator declined to replace the next file: the block is dropped and not
// handed on.
bool MainWindow::appendBlock(const QByteArray &block)
{
    // The count of bytes written stands in for the file's size (no stat per event).
    qint64 size = runFileBytes;
    if (size > fileSizeLimit - block.size()) {
        const QString name = runFileName(fileIndex);
        if (!confirmReplace(name))
            return false;
        if (!runFile)
            return true; // the run ended while the question was open
        closeRun(false);
        if (!openRunFile(name))
            return true;
        size = 0;
    }
    qint64 written = runFile->write(block);
    if (written >= 0 && written < block.size()) {
        // A short write carries no error: the rest either goes now or says why not.
        const qint64 more = runFile->write(block.constData() + written, block.size() - written);
        if (more > 0)
            written += more;
    }
    if (written != block.size()) {
        const QString name = runFile->fileName();
        const QString reason = runFile->errorString();
        // A file holds whole blocks only: drop what got in of this one.
        runFile->resize(size);
        runFileBytes = size;
        closeRun(false);
        QMessageBox::warning(this, QCoreApplication::applicationName(),
                             tr("Cannot write %1: %2.\nRecording has stopped for this run.")
                                 .arg(name, reason),
                             QMessageBox::Ok);
        return true;
    }
    runFileBytes = size + written;
    return true;
}

// Ends recording; `advance` moves on to the next run number.
void MainWindow::closeRun(bool advance)
{
    if (runFile) {
        runFile->close();
        delete runFile;
        runFile = nullptr;
    }
    if (advance) {
        ++runNumber;
        ui->nRun->setText(QStringLiteral("%1").arg(runNumber));
    }
}

// Undoes a run that was opened but never started: nothing was recorded.
void MainWindow::abandonRun()
{
    const QString name = runFile ? runFile->fileName() : QString();
    closeRun(false);
    if (!name.isEmpty())
        QFile::remove(name);
    if (!runDirectory.isEmpty())
        QDir().rmdir(runDirectory);
}
