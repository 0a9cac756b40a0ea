#include "testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>
#include <QCoreApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMutex>
#include <QPointer>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <unistd.h>

namespace {

QMutex warnMutex;
QtMessageHandler previousHandler = nullptr;
QList<QRegularExpression> expected;
QStringList pendingFailures; // warnings that could not fail a test function directly
int failures = 0;

void reportPending()
{
    QMutexLocker lock(&warnMutex);
    if (pendingFailures.isEmpty())
        return;
    for (const QString &m : std::as_const(pendingFailures))
        fprintf(stderr, "FAIL: unexpected Qt message: %s\n", qPrintable(m));
    fflush(stderr);
    _exit(1);
}

void handler(QtMsgType type, const QMessageLogContext &ctx, const QString &msg)
{
    if (previousHandler)
        previousHandler(type, ctx, msg);
    if (type != QtWarningMsg && type != QtCriticalMsg)
        return;
    // Noise of the headless platform plugin, not of the program.
    if (msg.startsWith(QLatin1String("This plugin does not support")))
        return;
    QMutexLocker lock(&warnMutex);
    for (int i = 0; i < expected.size(); ++i) {
        if (expected.at(i).match(msg).hasMatch()) {
            expected.removeAt(i);
            return;
        }
    }
    ++failures;
    const bool inTest = QCoreApplication::instance()
        && QThread::currentThread() == QCoreApplication::instance()->thread()
        && QTest::currentTestFunction() != nullptr;
    if (inTest) {
        lock.unlock();
        QTest::qFail(qPrintable(QStringLiteral("unexpected Qt message: ") + msg), ctx.file ? ctx.file : __FILE__, ctx.line);
        return;
    }
    pendingFailures << msg;
}

} // namespace

void installFailOnWarnings()
{
    QMutexLocker lock(&warnMutex);
    if (previousHandler)
        return;
    previousHandler = qInstallMessageHandler(handler);
    qAddPostRoutine(reportPending);
}

void expectWarning(const QRegularExpression &pattern)
{
    QMutexLocker lock(&warnMutex);
    expected << pattern;
}

int unexpectedWarnings()
{
    QMutexLocker lock(&warnMutex);
    return failures;
}

ModalAnswerer::ModalAnswerer(QObject *parent)
    : QObject(parent)
    , timer(new QTimer(this))
{
    connect(timer, &QTimer::timeout, this, &ModalAnswerer::poll);
    timer->start(20);
}

ModalAnswerer::~ModalAnswerer() = default;

void ModalAnswerer::answer(QMessageBox::StandardButton button)
{
    Step s;
    s.button = button;
    script << s;
}

void ModalAnswerer::answerWith(std::function<void(QWidget *)> f)
{
    Step s;
    s.handler = std::move(f);
    script << s;
}

bool ModalAnswerer::waitForBoxes(int n, int timeoutMs)
{
    return QTest::qWaitFor([&] { return seen.size() >= n; }, timeoutMs);
}

void ModalAnswerer::poll()
{
    QWidget *w = QApplication::activeModalWidget();
    // A box on the stack may reuse the address of the one before, so the
    // widget itself carries the mark.
    if (!w || !w->isVisible() || w->property("answeredByTest").toBool())
        return;
    QPointer<QWidget> guard(w);
    w->setProperty("answeredByTest", true);
    Step step;
    const bool scripted = !script.isEmpty();
    if (scripted)
        step = script.takeFirst();

    if (auto *box = qobject_cast<QMessageBox *>(w)) {
        BoxRecord r;
        r.title = box->windowTitle();
        r.text = box->text();
        r.icon = box->icon();
        r.buttons = box->standardButtons();
        r.defaultButton = box->defaultButton() ? box->standardButton(box->defaultButton()) : QMessageBox::NoButton;
        if (!scripted) {
            ++unexpectedCount;
            seen << r;
            QTest::qFail(qPrintable(QStringLiteral("unexpected message box: ") + r.text), __FILE__, __LINE__);
            box->reject();
            return;
        }
        if (step.handler) {
            seen << r;
            step.handler(box);
            return;
        }
        r.pressed = step.button;
        seen << r;
        QAbstractButton *b = box->button(step.button);
        if (!b) {
            QTest::qFail(qPrintable(QStringLiteral("scripted button missing in box: ") + r.text), __FILE__, __LINE__);
            box->reject();
            return;
        }
        b->click();
        return;
    }

    BoxRecord r;
    r.title = w->windowTitle();
    r.text = w->metaObject()->className();
    seen << r;
    if (scripted && step.handler) {
        step.handler(w);
    } else {
        ++unexpectedCount;
        QTest::qFail(qPrintable(QStringLiteral("unexpected modal widget: ") + r.text), __FILE__, __LINE__);
    }
    if (guard && guard->isVisible())
        guard->close();
}

void chooseFile(QFileDialog *dialog, const QString &path)
{
    dialog->selectFile(path);
    if (auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
        edit->setText(path);
}
