#include "mainwindow.h"
#include "options.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    Options opts = parseOptions(argc, argv);

    QApplication app(argc, argv);
    // Message boxes titled with the application's name show the product's.
    QApplication::setApplicationName(QStringLiteral("16ch 1Gsps Digitizer"));
    int rc;
    {
        MainWindow w(opts.useT0, opts.limitMiB, nullptr);
        w.show();
        rc = app.exec();
    }
    return rc;
}
