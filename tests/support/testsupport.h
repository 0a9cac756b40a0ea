#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QRegularExpression>
#include <QString>
#include <functional>

class QFileDialog;
class QTimer;

// Installs a message handler that fails the test on every Qt warning or
// critical message ("QThread: Destroyed while thread is still running",
// "No such slot", ...). Messages from other threads, or outside a test
// function, are collected and make the process exit with status 1 when the
// application object goes. Call it in initTestCase().
void installFailOnWarnings();

// Lets the next warning matching the pattern through without failing.
void expectWarning(const QRegularExpression &pattern);

// Count of warnings that failed (or will fail) the run so far.
int unexpectedWarnings();

// Puts a path into a file dialog's name field. QFileDialog::selectFile
// leaves the field alone while it has the focus, which the shown dialog may
// or may not have yet.
void chooseFile(QFileDialog *dialog, const QString &path);

// What a modal message box showed.
struct BoxRecord {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    QMessageBox::StandardButton pressed = QMessageBox::NoButton;
};

// Answers modal widgets as they appear. Each scripted answer is used by one
// modal widget, in order. A message box without a scripted answer fails the
// test (it is recorded and closed with Escape so nothing hangs).
class ModalAnswerer : public QObject
{
    Q_OBJECT
public:
    explicit ModalAnswerer(QObject *parent = nullptr);
    ~ModalAnswerer() override;

    // The next message box gets this button pressed.
    void answer(QMessageBox::StandardButton button);
    // The next modal widget (of any kind, e.g. a file dialog) is handed to f,
    // which must close it.
    void answerWith(std::function<void(QWidget *)> f);

    QList<BoxRecord> boxes() const { return seen; }
    BoxRecord last() const { return seen.isEmpty() ? BoxRecord() : seen.last(); }
    int count() const { return seen.size(); }
    int pending() const { return script.size(); }
    int unexpected() const { return unexpectedCount; }
    // Processes events until n boxes have been seen or the time is up.
    bool waitForBoxes(int n, int timeoutMs = 5000);
    void clear() { seen.clear(); }

private slots:
    void poll();

private:
    struct Step {
        QMessageBox::StandardButton button = QMessageBox::NoButton;
        std::function<void(QWidget *)> handler;
    };
    QTimer *timer;
    QList<Step> script;
    QList<BoxRecord> seen;
    int unexpectedCount = 0;
};

#endif
