// The main window form: object names, classes, captions, defaults, ranges,
// size limits, buddies, focus chain, table headers, images and the slots the
// form binds by name.

#include "mainwindow.h"
#include "ui_mainwindow.h"
#include "testsupport.h"
#include "windowrig.h"

#include <QAbstractTextDocumentLayout>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QMetaMethod>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QToolBar>
#include <QToolButton>

#include <algorithm>

// A bare window carrying every slot the form binds by name; it records the
// slots that ran, so the bindings can be checked without the real window's
// behaviour.
class FormHost : public QMainWindow
{
    Q_OBJECT
public:
    FormHost() { ui.setupUi(this); }
    Ui_MainWindow ui;
    QStringList calls;

public slots:
    void on_actionQuit_triggered() { calls << "actionQuit"; }
    void on_read_clicked() { calls << "read"; }
    void on_write_clicked() { calls << "write"; }
    void on_tabWidget_currentChanged(int i) { calls << QString("tabWidget %1").arg(i); }
    void on_toolButton_clicked() { calls << "toolButton"; }
    void on_comboBox_currentIndexChanged(int i) { calls << QString("comboBox %1").arg(i); }
    void on_VthMonitor_clicked() { calls << "VthMonitor"; }
    void on_pushButton_clicked() { calls << "pushButton"; }
    void on_single_clicked() { calls << "single"; }
    void on_start_clicked() { calls << "start"; }
    void on_stop_clicked() { calls << "stop"; }
    void on_reset_clicked() { calls << "reset"; }
    void on_graph_clicked() { calls << "graph"; }
    void on_calibration_clicked() { calls << "calibration"; }
    void on_usingCalibration_stateChanged() { calls << "usingCalibration"; }
    void on_ok_clicked() { calls << "ok"; }
    void on_cancel_clicked() { calls << "cancel"; }
    void on_sign0_currentIndexChanged(int i) { calls << QString("sign0 %1").arg(i); }
    void on_sign1_currentIndexChanged(int i) { calls << QString("sign1 %1").arg(i); }
    void on_saveROM_clicked() { calls << "saveROM"; }
    void on_serverStart_clicked() { calls << "serverStart"; }
};

namespace {

template<typename T>
T *child(QWidget *w, const char *name)
{
    T *c = w->findChild<T *>(QLatin1String(name));
    if (!c)
        qWarning("missing form object %s", name);
    return c;
}

// Through a pixmap, as the widgets hold it.
QImage imageOf(const QString &path)
{
    return QPixmap(path).toImage().convertToFormat(QImage::Format_ARGB32);
}

// Plain text of a label's rich text, as the label shows it.
QString plainText(const QString &html)
{
    QTextDocument doc;
    doc.setHtml(html);
    return doc.toPlainText();
}

void showWindow(QWidget *w)
{
    w->show();
    w->activateWindow();
}

// A layout's items: object names, "~" for a stretch; grid cells as @row,column
// (+rows x columns when spanning), form rows as @row,label or @row,field. Box
// layouts keep their order; grid and form items are listed row by row.
QString describeLayout(QLayout *l)
{
    QList<QPair<int, QString>> parts;
    auto *grid = qobject_cast<QGridLayout *>(l);
    auto *form = qobject_cast<QFormLayout *>(l);
    for (int i = 0; i < l->count(); ++i) {
        QLayoutItem *item = l->itemAt(i);
        QString s = item->widget() ? item->widget()->objectName()
                  : item->layout() ? item->layout()->objectName()
                                   : QStringLiteral("~");
        int key = i;
        if (grid) {
            int r, c, rs, cs;
            grid->getItemPosition(i, &r, &c, &rs, &cs);
            s += QString("@%1,%2").arg(r).arg(c);
            if (rs != 1 || cs != 1)
                s += QString("+%1x%2").arg(rs).arg(cs);
            key = r * 100 + c;
        } else if (form) {
            int r;
            QFormLayout::ItemRole role;
            form->getItemPosition(i, &r, &role);
            s += QString("@%1,%2").arg(r).arg(role == QFormLayout::LabelRole ? "label" : "field");
            key = r * 100 + role;
        }
        parts.append({key, s});
    }
    std::stable_sort(parts.begin(), parts.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    QStringList names;
    for (const auto &p : std::as_const(parts))
        names << p.second;
    return names.join(' ');
}

const QStringList focusChain = {
    "tabWidget", "address", "udp", "tcp", "read", "newAddr", "newUdp", "newTcp", "write", "textEdit",
    "comboBox", "delay", "Vth", "rise", "fall", "VthMonitor", "sampling", "calibration",
    "usingCalibration", "pushButton", "lineEdit", "graph", "save", "nRun", "path", "toolButton",
    "single", "start", "stop", "reset", "config", "writeShift", "writeConfig", "timing", "adjust",
    "vROFS0", "vROFS1", "vBIAS0", "vBIAS1", "vOOFS0", "vOOFS1", "ok", "cancel", "sign0", "sign1",
    "tableWidget", "page", "saveROM", "serverPort", "serverStart", "log"};

} // namespace

class tst_Form : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void objects_data();
    void objects();
    void captions_data();
    void captions();
    void window();
    void lineEdits_data();
    void lineEdits();
    void comboBoxes_data();
    void comboBoxes();
    void serverPortRange();
    void sizeLimits();
    void fixedGeometry_data();
    void fixedGeometry();
    void layoutMetrics();
    void layoutStructure_data();
    void layoutStructure();
    void panelArrangement();
    void initialStates();
    void readOnlyPalettes();
    void saveGroupGatesContents();
    void edgeRadioButtonsExclusive();
    void buddies();
    void focusChainOrder();
    void eepromTable();
    void images();
    void richTextLabels();
    void slotsBoundByName();
    void noSlotRunsDuringSetup();
    void mnemonics();
    void mainWindowStartsOnGeneralOnly();
    void quitShortcutClosesWindow();
    void grabScreenshot();
};

void tst_Form::initTestCase()
{
    installFailOnWarnings();
}

void tst_Form::objects_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("cls");
    const char *table[][2] = {
        {"actionQuit", "QAction"}, {"centralWidget", "QWidget"}, {"tabWidget", "QTabWidget"},
        {"tab", "QWidget"}, {"tab_2", "QWidget"}, {"tab_3", "QWidget"}, {"tab_4", "QWidget"},
        {"tab_5", "QWidget"}, {"morvaneLabel", "QLabel"}, {"label_7", "QLabel"}, {"statusBar", "QStatusBar"},
        // General
        {"groupBox_2", "QGroupBox"}, {"layoutWidget1", "QWidget"}, {"gridLayout_2", "QGridLayout"},
        {"label_3", "QLabel"}, {"address", "QLineEdit"}, {"label_5", "QLabel"}, {"udp", "QLineEdit"},
        {"label_4", "QLabel"}, {"tcp", "QLineEdit"}, {"read", "QPushButton"},
        {"groupBox_3", "QGroupBox"}, {"layoutWidget2", "QWidget"}, {"gridLayout_3", "QGridLayout"},
        {"label_12", "QLabel"}, {"newAddr", "QLineEdit"}, {"label_14", "QLabel"}, {"newUdp", "QLineEdit"},
        {"label_13", "QLabel"}, {"newTcp", "QLineEdit"}, {"write", "QPushButton"}, {"textEdit", "QTextEdit"},
        // Operation
        {"groupBox_4", "QGroupBox"}, {"layoutWidget3", "QWidget"}, {"formLayout_3", "QFormLayout"},
        {"idleLED", "QLabel"}, {"label_15", "QLabel"}, {"pushButton", "QPushButton"},
        {"layoutWidget4", "QWidget"}, {"formLayout_2", "QFormLayout"}, {"setupLED", "QLabel"},
        {"label_16", "QLabel"}, {"groupBox_6", "QGroupBox"}, {"horizontalLayout_8", "QHBoxLayout"},
        {"lineEdit", "QLineEdit"}, {"graph", "QPushButton"}, {"layoutWidget5", "QWidget"},
        {"horizontalLayout_3", "QHBoxLayout"}, {"single", "QPushButton"}, {"start", "QPushButton"},
        {"stop", "QPushButton"}, {"reset", "QPushButton"}, {"layoutWidget6", "QWidget"},
        {"gridLayout_4", "QGridLayout"}, {"exeLED", "QLabel"}, {"label_6", "QLabel"}, {"drsLED", "QLabel"},
        {"label_10", "QLabel"}, {"adcLED", "QLabel"}, {"label_11", "QLabel"}, {"save", "QGroupBox"},
        {"horizontalLayout", "QHBoxLayout"}, {"label_17", "QLabel"}, {"nRun", "QLineEdit"},
        {"label_18", "QLabel"}, {"path", "QLineEdit"}, {"toolButton", "QToolButton"},
        {"trigger", "QGroupBox"}, {"gridLayout_9", "QGridLayout"}, {"gridLayout", "QGridLayout"},
        {"label", "QLabel"}, {"comboBox", "QComboBox"}, {"label_2", "QLabel"},
        {"horizontalLayout_2", "QHBoxLayout"}, {"delay", "QLineEdit"}, {"label_9", "QLabel"},
        {"labelVth", "QLabel"}, {"Vth", "QLineEdit"}, {"horizontalLayout_7", "QHBoxLayout"},
        {"verticalLayout_3", "QVBoxLayout"}, {"rise", "QRadioButton"}, {"fall", "QRadioButton"},
        {"verticalLayout_2", "QVBoxLayout"}, {"VthMonitor", "QPushButton"},
        {"horizontalLayout_6", "QHBoxLayout"}, {"label_8", "QLabel"}, {"sampling", "QComboBox"},
        {"usingCalibration", "QCheckBox"}, {"calibration", "QPushButton"},
        // Registers
        {"groupBox", "QGroupBox"}, {"gridLayout_5", "QGridLayout"}, {"label_19", "QLabel"},
        {"config", "QLineEdit"}, {"label_20", "QLabel"}, {"writeShift", "QLineEdit"}, {"label_21", "QLabel"},
        {"writeConfig", "QLineEdit"}, {"groupBox_5", "QGroupBox"}, {"gridLayout_7", "QGridLayout"},
        {"label_35", "QLabel"}, {"timing", "QLineEdit"}, {"label_22", "QLabel"}, {"adjust", "QLineEdit"},
        {"layoutWidget7", "QWidget"}, {"horizontalLayout_4", "QHBoxLayout"}, {"ok", "QPushButton"},
        {"cancel", "QPushButton"}, {"groupBox_7", "QGroupBox"}, {"gridLayout_6", "QGridLayout"},
        {"labelvROFS0", "QLabel"}, {"vROFS0", "QLineEdit"}, {"label_29", "QLabel"},
        {"labelvROFS1", "QLabel"}, {"vROFS1", "QLineEdit"}, {"label_30", "QLabel"},
        {"labelvBIAS0", "QLabel"}, {"vBIAS0", "QLineEdit"}, {"label_31", "QLabel"},
        {"labelvBIAS1", "QLabel"}, {"vBIAS1", "QLineEdit"}, {"label_32", "QLabel"},
        {"labelvOOFS0", "QLabel"}, {"vOOFS0", "QLineEdit"}, {"label_33", "QLabel"},
        {"labelvOOFS1", "QLabel"}, {"vOOFS1", "QLineEdit"}, {"label_34", "QLabel"},
        // EEPROM
        {"tableWidget", "QTableWidget"}, {"layoutWidget8", "QWidget"}, {"horizontalLayout_12", "QHBoxLayout"},
        {"verticalLayout", "QVBoxLayout"}, {"horizontalLayout_10", "QHBoxLayout"},
        {"gridLayout_8", "QGridLayout"}, {"label_24", "QLabel"}, {"sign0", "QComboBox"},
        {"label_25", "QLabel"}, {"sign1", "QComboBox"}, {"horizontalLayout_5", "QHBoxLayout"},
        {"labelBoot", "QLabel"}, {"verticalLayout_5", "QVBoxLayout"}, {"horizontalLayout_11", "QHBoxLayout"},
        {"label_23", "QLabel"}, {"page", "QComboBox"}, {"horizontalLayout_9", "QHBoxLayout"},
        {"saveROM", "QPushButton"},
        // Server
        {"label_26", "QLabel"}, {"log", "QTextEdit"}, {"layoutWidget9", "QWidget"},
        {"horizontalLayout_13", "QHBoxLayout"}, {"label_27", "QLabel"}, {"serverPort", "QSpinBox"},
        {"serverStart", "QPushButton"},
    };
    for (const auto &row : table)
        QTest::newRow(row[0]) << QString(row[0]) << QString(row[1]);
}

void tst_Form::objects()
{
    QFETCH(QString, name);
    QFETCH(QString, cls);
    MainWindow w(false, 1024);
    QCOMPARE(w.objectName(), QString("MainWindow"));
    const QList<QObject *> found = w.findChildren<QObject *>(name);
    QCOMPARE(found.size(), 1);
    QCOMPARE(QString(found.first()->metaObject()->className()), cls);
}

void tst_Form::captions_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    const char *table[][2] = {
        {"groupBox_2", "&Target"}, {"groupBox_3", "&Update"}, {"label_3", "IP &Address"},
        {"label_5", "&UDP Port"}, {"label_4", "&TCP Port"}, {"read", "&Read"}, {"label_12", "IP &Address"},
        {"label_14", "&UDP Port"}, {"label_13", "&TCP Port"}, {"write", "&Write"},
        {"label", "&Trigger Select"}, {"label_2", "Trigger &Delay"}, {"label_9", "ns"},
        {"labelVth", "Trigger &Vth"}, {"rise", "&Rise Edge"}, {"fall", "&Fall Edge"},
        {"VthMonitor", "Vth &Monitor"}, {"label_8", "Sampling &Rate"}, {"calibration", "Calibration"},
        {"usingCalibration", "Offset Correction"}, {"label_15", "Idle"}, {"pushButton", ""},
        {"label_16", "Setup"}, {"label_6", "Executing"}, {"label_10", "DRS Ready"}, {"label_11", "ADC Ready"},
        {"idleLED", ""}, {"setupLED", ""}, {"exeLED", ""}, {"drsLED", ""}, {"adcLED", ""},
        {"groupBox_6", "&Graph"}, {"graph", "&New Graph"}, {"save", "&File Save"}, {"label_17", "Run &No."},
        {"label_18", "&Path"}, {"toolButton", "..."}, {"single", "&Single"}, {"start", "&Start"},
        {"stop", "&Stop"}, {"reset", "&Reset"}, {"trigger", ""}, {"groupBox_4", ""},
        {"groupBox", "DRS4"}, {"groupBox_5", ""}, {"groupBox_7", ""}, {"label_19", "&Config"},
        {"label_20", "Write &Shift"}, {"label_21", "&Write Config"}, {"label_35", "Sampling &Timing (current)"},
        {"label_22", "ADC Delay Adjust"}, {"ok", "&OK"}, {"cancel", "&Cancel"}, {"label_29", "V"},
        {"label_30", "V"}, {"label_31", "V"}, {"label_32", "V"}, {"label_33", "V"}, {"label_34", "V"},
        {"label_24", "ADC&0 Sign:"}, {"label_25", "ADC&1 Sign:"}, {"labelBoot", "Boot Page:"},
        {"label_23", "&Page"}, {"saveROM", "&Save"}, {"label_26", "Server Log"}, {"label_27", "Server &Port"},
        {"serverStart", "&Start"},
    };
    for (const auto &row : table)
        QTest::newRow(row[0]) << QString(row[0]) << QString(row[1]);
}

void tst_Form::captions()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    FormHost host;
    QObject *o = host.findChild<QObject *>(name);
    QVERIFY(o);
    if (auto *b = qobject_cast<QAbstractButton *>(o))
        QCOMPARE(b->text(), text);
    else if (auto *l = qobject_cast<QLabel *>(o))
        QCOMPARE(l->text(), text);
    else if (auto *g = qobject_cast<QGroupBox *>(o))
        QCOMPARE(g->title(), text);
    else
        QFAIL("no caption");
}

void tst_Form::window()
{
    FormHost host;
    QCOMPARE(host.windowTitle(), QString("16ch 1Gsps Digitizer"));
    QCOMPARE(host.size(), QSize(533, 418));
    QCOMPARE(host.maximumSize(), QSize(533, 418));
    QCOMPARE(host.minimumSize(), QSize(0, 0));
    QCOMPARE(host.centralWidget(), host.ui.centralWidget);
    QVERIFY(!host.centralWidget()->layout());
    QCOMPARE(host.statusBar(), host.ui.statusBar);
    QVERIFY(host.statusBar()->currentMessage().isEmpty());
    QVERIFY(!host.findChild<QMenuBar *>());
    QVERIFY(!host.findChild<QToolBar *>());

    QTabWidget *tabs = host.ui.tabWidget;
    const QStringList pages = {"tab", "tab_2", "tab_3", "tab_4", "tab_5"};
    const QStringList captions = {"&General", "&Operation", "&Registers", "&EEPROM", "&Server"};
    QCOMPARE(tabs->count(), 5);
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(tabs->widget(i)->objectName(), pages[i]);
        QCOMPARE(tabs->tabText(i), captions[i]);
        QVERIFY(tabs->isTabEnabled(i)); // the form itself disables nothing
    }
    QCOMPARE(tabs->currentIndex(), 0);

    QAction *quit = host.ui.actionQuit;
    QCOMPARE(quit->parent(), &host);
    QCOMPARE(quit->text(), QString("Quit"));
    QCOMPARE(quit->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
    // Only the central widget carries it, so its shortcut works in the window
    // without a menu or tool bar.
    const QList<QObject *> carriers = quit->associatedObjects();
    QCOMPARE(carriers.size(), 1);
    QCOMPARE(carriers.first(), host.ui.centralWidget);
}

void tst_Form::lineEdits_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("rightAligned");
    const char *table[][2] = {
        {"address", "192.168.10.16"}, {"udp", "4660"}, {"tcp", "24"}, {"newAddr", "192.168.10.16"},
        {"newUdp", "4660"}, {"newTcp", "24"}, {"lineEdit", " 0-15"}, {"nRun", "0"}, {"path", "data"},
    };
    for (const auto &row : table)
        QTest::newRow(row[0]) << QString(row[0]) << QString(row[1]) << false;
    const char *right[] = {"delay", "Vth", "config", "writeShift", "writeConfig", "timing", "adjust",
                           "vROFS0", "vROFS1", "vBIAS0", "vBIAS1", "vOOFS0", "vOOFS1"};
    for (const char *name : right)
        QTest::newRow(name) << QString(name) << QString() << true;
}

void tst_Form::lineEdits()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(bool, rightAligned);
    MainWindow w(false, 1024);
    auto *edit = w.findChild<QLineEdit *>(name);
    QVERIFY(edit);
    QCOMPARE(edit->text(), text);
    QCOMPARE(bool(edit->alignment() & Qt::AlignRight), rightAligned);
    const bool readOnly = name == "tcp" || name == "timing";
    QCOMPARE(edit->isReadOnly(), readOnly);
}

void tst_Form::comboBoxes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("items");
    QStringList trigger = {"NIM-IN0", "NIM-IN1"};
    for (int n = 0; n < 16; ++n)
        trigger << QString("Ch.%1").arg(n);
    const QStringList signs = {"No extension (for offset binary)", "Extension (for two's complement)"};
    QTest::newRow("comboBox") << QString("comboBox") << trigger;
    QTest::newRow("sampling") << QString("sampling") << QStringList{"1 ns", "1/2 ns", "1/3 ns", "1/5 ns"};
    QTest::newRow("sign0") << QString("sign0") << signs;
    QTest::newRow("sign1") << QString("sign1") << signs;
    QTest::newRow("page") << QString("page") << QStringList{"0", "1", "2", "3"};
}

void tst_Form::comboBoxes()
{
    QFETCH(QString, name);
    QFETCH(QStringList, items);
    MainWindow w(false, 1024);
    auto *box = w.findChild<QComboBox *>(name);
    QVERIFY(box);
    QStringList shown;
    for (int i = 0; i < box->count(); ++i)
        shown << box->itemText(i);
    QCOMPARE(shown, items);
    QCOMPARE(box->currentIndex(), 0);
    QCOMPARE(box->currentText(), items.first());
    QVERIFY(!box->isEditable());
    // The item index is the register encoding: the last item has the last code.
    QCOMPARE(box->findText(items.last()), items.size() - 1);
}

void tst_Form::serverPortRange()
{
    MainWindow w(false, 1024);
    auto *port = w.findChild<QSpinBox *>("serverPort");
    QVERIFY(port);
    QCOMPARE(port->value(), 9770);
    QCOMPARE(port->minimum(), 0);
    QCOMPARE(port->maximum(), 65535);
    port->setValue(70000);
    QCOMPARE(port->value(), 65535);
    port->setValue(-1);
    QCOMPARE(port->value(), 0);
}

void tst_Form::sizeLimits()
{
    FormHost host;
    const Ui_MainWindow &ui = host.ui;
    for (QLineEdit *e : {ui.address, ui.udp, ui.newAddr, ui.newUdp, ui.newTcp})
        QCOMPARE(e->maximumWidth(), 120);
    QCOMPARE(ui.tcp->maximumWidth(), QWIDGETSIZE_MAX);
    for (QLineEdit *e : {ui.address, ui.udp, ui.tcp, ui.newAddr, ui.newUdp, ui.newTcp})
        QCOMPARE(e->minimumHeight(), 23);
    QCOMPARE(ui.read->minimumWidth(), 51);
    QCOMPARE(ui.write->minimumWidth(), 51);
    QCOMPARE(ui.VthMonitor->minimumSize(), QSize(120, 30));
    QCOMPARE(ui.pushButton->maximumWidth(), 35);
    QCOMPARE(ui.pushButton->minimumHeight(), 30);
    QCOMPARE(ui.pushButton->size(), QSize(33, 30));
    QCOMPARE(ui.nRun->minimumWidth(), 70);
    QCOMPARE(ui.path->minimumWidth(), 250);
    QCOMPARE(ui.page->minimumWidth(), 45);
    QCOMPARE(ui.page->maximumWidth(), 60);
    QCOMPARE(ui.serverPort->minimumWidth(), 65);
    QCOMPARE(ui.serverPort->maximumHeight(), 26);
    QCOMPARE(ui.serverStart->maximumWidth(), 75);
}

void tst_Form::fixedGeometry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("rect");
    const struct { const char *name, *parent; int x, y, w, h; } table[] = {
        {"tabWidget", "centralWidget", 0, 44, 535, 349}, {"morvaneLabel", "centralWidget", 210, 0, 311, 51},
        {"label_7", "centralWidget", 10, 7, 241, 31}, {"groupBox_2", "tab", 3, 10, 258, 116},
        {"read", "groupBox_2", 199, 19, 51, 87}, {"groupBox_3", "tab", 266, 10, 258, 116},
        {"write", "groupBox_3", 199, 19, 51, 87}, {"textEdit", "tab", 2, 130, 523, 184},
        {"groupBox_4", "tab_2", 300, 10, 96, 126}, {"groupBox_6", "tab_2", 300, 150, 221, 67},
        {"layoutWidget5", "tab_2", 10, 290, 511, 30}, {"layoutWidget6", "tab_2", 410, 10, 105, 121},
        {"save", "tab_2", 10, 225, 511, 56}, {"trigger", "tab_2", 10, 10, 281, 176},
        {"usingCalibration", "tab_2", 140, 195, 156, 21}, {"calibration", "tab_2", 14, 195, 116, 23},
        {"groupBox", "tab_3", 22, 30, 241, 131}, {"groupBox_5", "tab_3", 22, 167, 241, 91},
        {"layoutWidget7", "tab_3", 310, 260, 195, 30}, {"groupBox_7", "tab_3", 270, 37, 233, 185},
        {"tableWidget", "tab_4", 11, 101, 508, 211}, {"layoutWidget8", "tab_4", 20, 10, 503, 86},
        {"label_26", "tab_5", 11, 33, 101, 16}, {"log", "tab_5", 7, 50, 515, 264},
        {"layoutWidget9", "tab_5", 285, 10, 237, 30},
    };
    for (const auto &row : table)
        QTest::newRow(row.name) << QString(row.name) << QString(row.parent) << QRect(row.x, row.y, row.w, row.h);
}

void tst_Form::fixedGeometry()
{
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QFETCH(QRect, rect);
    FormHost host;
    auto *w = host.findChild<QWidget *>(name);
    QVERIFY(w);
    QVERIFY(w->parentWidget());
    QCOMPARE(w->parentWidget()->objectName(), parent);
    QCOMPARE(w->geometry(), rect);
}

void tst_Form::layoutMetrics()
{
    FormHost host;
    QList<QLayout *> layouts;
    for (QLayout *l : host.ui.centralWidget->findChildren<QLayout *>())
        if (!l->objectName().isEmpty() && !l->objectName().startsWith("qt_"))
            layouts << l;
    QCOMPARE(layouts.size(), 28);
    for (QLayout *l : std::as_const(layouts)) {
        QVERIFY2(l->spacing() == 6, qPrintable(l->objectName()));
        QWidget *owner = l->parentWidget();
        // A widget's own layout: 11 on a group box, 0 in a layout container;
        // nested layouts have no margins.
        int margin = 0;
        if (owner && owner->layout() == l && qobject_cast<QGroupBox *>(owner))
            margin = 11;
        QVERIFY2(l->contentsMargins() == QMargins(margin, margin, margin, margin), qPrintable(l->objectName()));
    }
}

void tst_Form::layoutStructure_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("owner");
    QTest::addColumn<QString>("items");
    const char *table[][3] = {
        // General
        {"gridLayout_2", "layoutWidget1", "label_3@0,0 address@0,1 label_5@1,0 udp@1,1 label_4@2,0 tcp@2,1"},
        {"gridLayout_3", "layoutWidget2", "label_12@0,0 newAddr@0,1 label_14@1,0 newUdp@1,1 label_13@2,0 newTcp@2,1"},
        // Operation
        {"formLayout_3", "layoutWidget3", "idleLED@0,label label_15@0,field"},
        {"formLayout_2", "layoutWidget4", "setupLED@0,label label_16@0,field"},
        {"horizontalLayout_8", "groupBox_6", "lineEdit graph"},
        {"horizontalLayout_3", "layoutWidget5", "single start stop reset"},
        {"gridLayout_4", "layoutWidget6", "exeLED@0,0 label_6@0,1 drsLED@1,0 label_10@1,1 adcLED@2,0 label_11@2,1"},
        {"horizontalLayout", "save", "label_17 nRun ~ label_18 path toolButton"},
        {"gridLayout_9", "trigger", "gridLayout@0,0 horizontalLayout_7@1,0 horizontalLayout_6@2,0"},
        {"gridLayout", "gridLayout_9",
         "label@0,0 comboBox@0,1 label_2@1,0 horizontalLayout_2@1,1 labelVth@2,0 Vth@2,1"},
        {"horizontalLayout_2", "gridLayout", "delay label_9"},
        {"horizontalLayout_7", "gridLayout_9", "verticalLayout_3 ~ verticalLayout_2"},
        {"verticalLayout_3", "horizontalLayout_7", "rise fall"},
        {"verticalLayout_2", "horizontalLayout_7", "~ VthMonitor"},
        {"horizontalLayout_6", "gridLayout_9", "label_8 sampling ~"},
        // Registers
        {"gridLayout_5", "groupBox",
         "label_19@0,0 config@0,1 label_20@1,0 writeShift@1,1 label_21@2,0 writeConfig@2,1"},
        {"gridLayout_7", "groupBox_5", "label_35@0,0+1x2 timing@0,2 label_22@1,0 adjust@1,1+1x2"},
        {"horizontalLayout_4", "layoutWidget7", "ok cancel"},
        {"gridLayout_6", "groupBox_7",
         "labelvROFS0@0,0 vROFS0@0,1 label_29@0,2 labelvROFS1@1,0 vROFS1@1,1 label_30@1,2 "
         "labelvBIAS0@2,0 vBIAS0@2,1 label_31@2,2 labelvBIAS1@3,0 vBIAS1@3,1 label_32@3,2 "
         "labelvOOFS0@4,0 vOOFS0@4,1 label_33@4,2 labelvOOFS1@5,0 vOOFS1@5,1 label_34@5,2"},
        // EEPROM
        {"horizontalLayout_12", "layoutWidget8", "verticalLayout verticalLayout_5"},
        {"verticalLayout", "horizontalLayout_12", "horizontalLayout_10 horizontalLayout_5"},
        {"horizontalLayout_10", "verticalLayout", "gridLayout_8 ~"},
        {"gridLayout_8", "horizontalLayout_10", "label_24@0,0 sign0@0,1 label_25@1,0 sign1@1,1"},
        {"horizontalLayout_5", "verticalLayout", "labelBoot ~"},
        {"verticalLayout_5", "horizontalLayout_12", "~ horizontalLayout_11 horizontalLayout_9"},
        {"horizontalLayout_11", "verticalLayout_5", "~ label_23 page"},
        {"horizontalLayout_9", "verticalLayout_5", "saveROM"},
        // Server
        {"horizontalLayout_13", "layoutWidget9", "label_27 serverPort ~ serverStart"},
    };
    for (const auto &row : table)
        QTest::newRow(row[0]) << QString(row[0]) << QString(row[1]) << QString(row[2]);
}

void tst_Form::layoutStructure()
{
    QFETCH(QString, name);
    QFETCH(QString, owner);
    QFETCH(QString, items);
    FormHost host;
    auto *l = host.findChild<QLayout *>(name);
    QVERIFY(l);
    // A widget's own layout has the widget as parent, a nested one its enclosing layout.
    QVERIFY(l->parent());
    QCOMPARE(l->parent()->objectName(), owner);
    if (auto *w = qobject_cast<QWidget *>(l->parent()))
        QCOMPARE(w->layout(), l);
    QCOMPARE(describeLayout(l), items);
}

void tst_Form::panelArrangement()
{
    FormHost host;
    const Ui_MainWindow &ui = host.ui;
    // Address grids sit in their group, with the tall button to their right.
    QCOMPARE(ui.layoutWidget1->parentWidget(), ui.groupBox_2);
    QCOMPARE(ui.layoutWidget2->parentWidget(), ui.groupBox_3);
    QVERIFY(ui.read->x() >= ui.layoutWidget1->geometry().right());
    QVERIFY(ui.write->x() >= ui.layoutWidget2->geometry().right());
    // Condition panel: Idle lamp on top, the condition button, Setup lamp below.
    for (QWidget *w : std::initializer_list<QWidget *>{ui.layoutWidget3, ui.pushButton, ui.layoutWidget4})
        QCOMPARE(w->parentWidget(), ui.groupBox_4);
    QVERIFY(ui.layoutWidget3->geometry().bottom() < ui.pushButton->y());
    QVERIFY(ui.pushButton->geometry().bottom() < ui.layoutWidget4->y());
    // The Calibration button is left of the check box, both below the trigger group.
    QVERIFY(ui.calibration->geometry().right() < ui.usingCalibration->x());
    QVERIFY(ui.calibration->y() > ui.trigger->geometry().bottom());
    // Server Log caption above the log.
    QVERIFY(ui.label_26->geometry().bottom() < ui.log->y());
}

void tst_Form::initialStates()
{
    FormHost host;
    const Ui_MainWindow &ui = host.ui;
    QVERIFY(!ui.write->isEnabled());
    QVERIFY(!ui.graph->isEnabled());
    QVERIFY(!ui.stop->isEnabled());
    QVERIFY(!ui.stop->isCheckable());
    QVERIFY(!ui.pushButton->isCheckable());
    for (QWidget *w : std::initializer_list<QWidget *>{ui.read, ui.single, ui.start, ui.reset, ui.calibration,
                                                       ui.usingCalibration, ui.Vth, ui.labelVth, ui.rise,
                                                       ui.fall, ui.VthMonitor, ui.ok, ui.cancel, ui.saveROM,
                                                       ui.serverStart, ui.comboBox, ui.sampling})
        QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));
    QVERIFY(ui.textEdit->isReadOnly());
    QVERIFY(ui.log->isReadOnly());
    QVERIFY(ui.textEdit->toPlainText().isEmpty());
    QVERIFY(ui.log->toPlainText().isEmpty());
    QVERIFY(ui.rise->isChecked());
    QVERIFY(!ui.fall->isChecked());
    QVERIFY(!ui.usingCalibration->isChecked());
    QVERIFY(ui.save->isCheckable());
    QVERIFY(!ui.save->isChecked());
    QVERIFY(ui.label_7->alignment() & Qt::AlignLeft);
    QVERIFY(ui.label->alignment() & Qt::AlignLeft);
    QVERIFY(ui.label_2->alignment() & Qt::AlignLeft);
    QVERIFY(ui.labelVth->alignment() & Qt::AlignLeft);
    QVERIFY(ui.label_23->alignment() & Qt::AlignRight);
    QVERIFY(ui.label_27->alignment() & Qt::AlignRight);
    QCOMPARE(ui.labelBoot->alignment(), Qt::AlignLeading | Qt::AlignLeft | Qt::AlignBottom);
}

void tst_Form::readOnlyPalettes()
{
    FormHost host;
    const QPalette tcp = host.ui.tcp->palette();
    QCOMPARE(tcp.color(QPalette::Active, QPalette::Base), QColor(238, 238, 238));
    QCOMPARE(tcp.color(QPalette::Inactive, QPalette::Base), QColor(238, 238, 238));
    QCOMPARE(tcp.color(QPalette::Disabled, QPalette::Base), QColor(240, 240, 240));
    const QPalette timing = host.ui.timing->palette();
    QCOMPARE(timing.color(QPalette::Active, QPalette::Base), QColor(235, 235, 235));
    QCOMPARE(timing.color(QPalette::Inactive, QPalette::Base), QColor(235, 235, 235));
    QCOMPARE(timing.color(QPalette::Disabled, QPalette::Base), QColor(240, 240, 240));
}

void tst_Form::saveGroupGatesContents()
{
    FormHost host;
    const Ui_MainWindow &ui = host.ui;
    const QList<QWidget *> inside = {ui.label_17, ui.nRun, ui.label_18, ui.path, ui.toolButton};
    for (QWidget *w : inside)
        QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
    ui.save->setChecked(true);
    for (QWidget *w : inside)
        QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));
    QCOMPARE(ui.nRun->text(), QString("0"));
    QCOMPARE(ui.path->text(), QString("data"));
}

void tst_Form::edgeRadioButtonsExclusive()
{
    FormHost host;
    const Ui_MainWindow &ui = host.ui;
    QCOMPARE(ui.trigger->findChildren<QRadioButton *>().size(), 2);
    ui.fall->click();
    QVERIFY(ui.fall->isChecked());
    QVERIFY(!ui.rise->isChecked());
    ui.fall->click(); // clicking the checked one keeps it checked
    QVERIFY(ui.fall->isChecked());
    ui.rise->click();
    QVERIFY(ui.rise->isChecked());
    QVERIFY(!ui.fall->isChecked());
}

void tst_Form::buddies()
{
    FormHost host;
    const QList<QPair<QString, QString>> pairs = {
        {"label_3", "address"}, {"label_5", "udp"}, {"label_4", "tcp"}, {"label_12", "newAddr"},
        {"label_14", "newUdp"}, {"label_13", "newTcp"}, {"label_17", "nRun"}, {"label_18", "path"},
        {"label", "comboBox"}, {"label_2", "delay"}, {"labelVth", "Vth"}, {"label_8", "sampling"},
        {"label_19", "config"}, {"label_20", "writeShift"}, {"label_21", "writeConfig"},
        {"label_35", "timing"}, {"label_22", "adjust"}, {"labelvROFS0", "vROFS0"}, {"labelvROFS1", "vROFS1"},
        {"labelvBIAS0", "vBIAS0"}, {"labelvBIAS1", "vBIAS1"}, {"labelvOOFS0", "vOOFS0"},
        {"labelvOOFS1", "vOOFS1"}, {"label_24", "sign0"}, {"label_25", "sign1"}, {"label_23", "page"},
        {"label_27", "serverPort"},
    };
    QCOMPARE(pairs.size(), 27);
    int withBuddy = 0;
    for (QLabel *l : host.findChildren<QLabel *>())
        withBuddy += l->buddy() != nullptr;
    QCOMPARE(withBuddy, 27);
    for (const auto &p : pairs) {
        auto *label = host.findChild<QLabel *>(p.first);
        QVERIFY(label);
        QVERIFY2(label->buddy(), qPrintable(p.first));
        QCOMPARE(label->buddy()->objectName(), p.second);
    }
}

void tst_Form::focusChainOrder()
{
    FormHost host;
    // The named widgets in focus-chain order, starting at the tab widget.
    QStringList order;
    QWidget *w = host.ui.tabWidget;
    for (int guard = 0; guard < 1000; ++guard) {
        if (focusChain.contains(w->objectName()) && !order.contains(w->objectName()))
            order << w->objectName();
        w = w->nextInFocusChain();
        if (w == host.ui.tabWidget)
            break;
    }
    QCOMPARE(order, focusChain);

    // Every form widget that takes focus by Tab is in the chain.
    for (QWidget *c : host.ui.centralWidget->findChildren<QWidget *>()) {
        const QString name = c->objectName();
        // Parts of composite widgets (tab bar buttons, spin box editor) are not form widgets.
        const QString parent = c->parentWidget() ? c->parentWidget()->objectName() : QString();
        if (name.isEmpty() || name.startsWith("qt_") || parent.startsWith("qt_") || c->focusProxy())
            continue;
        if (c->focusPolicy() & Qt::TabFocus)
            QVERIFY2(focusChain.contains(name), qPrintable(name));
    }
}

void tst_Form::eepromTable()
{
    MainWindow w(false, 1024);
    auto *table = w.findChild<QTableWidget *>("tableWidget");
    QVERIFY(table);
    QCOMPARE(table->columnCount(), 5);
    QCOMPARE(table->rowCount(), 17);
    const QStringList columns = {"Save Data", "Page 0", "Page 1", "Page 2", "Page 3"};
    const QStringList rows = {"Trigger Source", "Trigger Vth", "Trigger Edge", "Trigger Delay",
                              "Sampling Rate", "ADC0 Sign Extension", "ADC1 Sign Extension", "DRS4 Config",
                              "DRS4 Write Shift", "DRS4 Write Config", "ADC Delay Adjust", "DRS4-0 VROFS",
                              "DRS4-1 VROFS", "DRS4-0 VBIAS", "DRS4-1 VBIAS", "DRS4-0 VOOFS", "DRS4-1 VOOFS"};
    for (int c = 0; c < 5; ++c) {
        QVERIFY(table->horizontalHeaderItem(c));
        QCOMPARE(table->horizontalHeaderItem(c)->text(), columns[c]);
    }
    for (int r = 0; r < 17; ++r) {
        QVERIFY(table->verticalHeaderItem(r));
        QCOMPARE(table->verticalHeaderItem(r)->text(), rows[r]);
        for (int c = 0; c < 5; ++c)
            QVERIFY(!table->item(r, c));
    }
    QCOMPARE(table->horizontalHeader()->defaultSectionSize(), 70);
    QCOMPARE(table->verticalHeader()->defaultSectionSize(), 27);
    QCOMPARE(table->verticalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
    QCOMPARE(table->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(table->editTriggers(), QAbstractItemView::NoEditTriggers); // set by the window
}

void tst_Form::images()
{
    for (const char *name : {"led_green", "led_off", "up", "down", "save", "update"}) {
        const QString path = QString(":/images/%1.png").arg(name);
        const QImage img(path);
        QVERIFY2(!img.isNull(), qPrintable(path));
        QVERIFY2(img.size() == QSize(16, 16) || img.size() == QSize(24, 24), qPrintable(path));
        QVERIFY2(img.hasAlphaChannel(), qPrintable(path));
    }
    // The lamps differ, and so do the arrows.
    QVERIFY(imageOf(":/images/led_green.png") != imageOf(":/images/led_off.png"));
    QVERIFY(imageOf(":/images/up.png") != imageOf(":/images/down.png"));

    MainWindow w(false, 1024);
    const auto lamp = [&](const char *name) {
        auto *l = w.findChild<QLabel *>(name);
        return l ? l->pixmap().toImage().convertToFormat(QImage::Format_ARGB32) : QImage();
    };
    const QImage lit = imageOf(":/images/led_green.png");
    for (const char *name : {"idleLED", "exeLED", "drsLED", "adcLED"})
        QVERIFY2(lamp(name) == lit, name);
    QVERIFY(lamp("setupLED") == imageOf(":/images/led_off.png"));

    auto *condition = w.findChild<QPushButton *>("pushButton");
    QVERIFY(condition);
    QVERIFY(!condition->icon().isNull());
    const QImage shown = condition->icon().pixmap(QSize(16, 16)).toImage().convertToFormat(QImage::Format_ARGB32);
    QVERIFY(shown == imageOf(":/images/down.png"));
}

void tst_Form::richTextLabels()
{
    FormHost host;
    const Ui_MainWindow &ui = host.ui;
    const QList<QPair<QLabel *, QString>> dacs = {
        {ui.labelvROFS0, "DRS4-0 V|ROFS"}, {ui.labelvROFS1, "DRS4-1 V|ROFS"}, {ui.labelvBIAS0, "DRS4-0 V|BIAS"},
        {ui.labelvBIAS1, "DRS4-1 V|BIAS"}, {ui.labelvOOFS0, "DRS4-0 V|OOFS"}, {ui.labelvOOFS1, "DRS4-1 V|OOFS"},
    };
    for (const auto &d : dacs) {
        const QStringList parts = d.second.split('|');
        QVERIFY(Qt::mightBeRichText(d.first->text()));
        QTextDocument doc;
        doc.setHtml(d.first->text());
        QCOMPARE(doc.toPlainText(), parts[0] + parts[1] + " DAC");
        // Only the second part is a subscript; all of it in the document's default font.
        QString sub;
        for (auto it = doc.begin().begin(); !it.atEnd(); ++it) {
            const QTextCharFormat f = it.fragment().charFormat();
            QCOMPARE(f.fontFamilies().toStringList().value(0), QString("MS UI Gothic"));
            QCOMPARE(f.fontPointSize(), 9.0);
            if (f.verticalAlignment() == QTextCharFormat::AlignSubScript)
                sub += it.fragment().text();
        }
        QCOMPARE(sub, parts[1]);
    }

    QCOMPARE(plainText(ui.label_7->text()), QString("Zentrofa"));
    QTextDocument title;
    title.setHtml(ui.label_7->text());
    QCOMPARE(title.blockCount(), 1);
    QVERIFY(ui.label_7->text().contains("font-family:'MS UI Gothic'; font-size:9pt"));
    const QTextCharFormat fmt = title.begin().begin().fragment().charFormat();
    QCOMPARE(fmt.fontFamilies().toStringList().value(0), QString("Century"));
    QCOMPARE(fmt.fontPointSize(), 14.0);
    QCOMPARE(fmt.fontWeight(), 600);
    QCOMPARE(title.begin().blockFormat().topMargin(), 0.0);

    QLabel *about = ui.morvaneLabel;
    QVERIFY(about->openExternalLinks());
    QCOMPARE(about->font().family(), QString("Century"));
    QTextDocument doc;
    doc.setHtml(about->text());
    QCOMPARE(doc.blockCount(), 2);
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next())
        QVERIFY(b.blockFormat().alignment() & Qt::AlignRight);
    QVERIFY(doc.toPlainText().contains("Version"));
    QVERIFY(about->text().contains("<a href=\"http"));
}

void tst_Form::slotsBoundByName()
{
    FormHost host;
    Ui_MainWindow &ui = host.ui;
    // Disabled widgets are enabled first: the binding, not the state, is checked here.
    for (QWidget *w : std::initializer_list<QWidget *>{ui.write, ui.graph, ui.stop})
        w->setEnabled(true);
    ui.save->setChecked(true);

    const QList<QPair<std::function<void()>, QString>> steps = {
        {[&] { ui.actionQuit->trigger(); }, "actionQuit"},
        {[&] { ui.read->click(); }, "read"},
        {[&] { ui.write->click(); }, "write"},
        {[&] { ui.tabWidget->setCurrentIndex(3); }, "tabWidget 3"},
        {[&] { ui.toolButton->click(); }, "toolButton"},
        {[&] { ui.comboBox->setCurrentIndex(17); }, "comboBox 17"},
        {[&] { ui.VthMonitor->click(); }, "VthMonitor"},
        {[&] { ui.pushButton->click(); }, "pushButton"},
        {[&] { ui.single->click(); }, "single"},
        {[&] { ui.start->click(); }, "start"},
        {[&] { ui.stop->click(); }, "stop"},
        {[&] { ui.reset->click(); }, "reset"},
        {[&] { ui.graph->click(); }, "graph"},
        {[&] { ui.calibration->click(); }, "calibration"},
        {[&] { ui.usingCalibration->click(); }, "usingCalibration"},
        {[&] { ui.ok->click(); }, "ok"},
        {[&] { ui.cancel->click(); }, "cancel"},
        {[&] { ui.sign0->setCurrentIndex(1); }, "sign0 1"},
        {[&] { ui.sign1->setCurrentIndex(1); }, "sign1 1"},
        {[&] { ui.saveROM->click(); }, "saveROM"},
        {[&] { ui.serverStart->click(); }, "serverStart"},
    };
    for (const auto &step : steps) {
        host.calls.clear();
        step.first();
        QCOMPARE(host.calls, QStringList{step.second});
    }

    // Widgets without a bound slot stay silent.
    host.calls.clear();
    ui.page->setCurrentIndex(2);
    ui.sampling->setCurrentIndex(3);
    ui.toolButton->click();
    QCOMPARE(host.calls, QStringList{"toolButton"});

    // Every on_ slot of the real window names a form object and one of its signals.
    const QMetaObject &mo = MainWindow::staticMetaObject;
    FormHost probe;
    int bound = 0;
    for (int i = mo.methodOffset(); i < mo.methodCount(); ++i) {
        const QMetaMethod m = mo.method(i);
        const QByteArray name = m.name();
        if (m.methodType() != QMetaMethod::Slot || !name.startsWith("on_"))
            continue;
        const int split = name.lastIndexOf('_');
        const QString object = QString::fromLatin1(name.mid(3, split - 3));
        const QByteArray signal = name.mid(split + 1);
        QObject *o = object == "MainWindow" ? &probe : probe.findChild<QObject *>(object);
        QVERIFY2(o, name.constData());
        bool found = false;
        const QMetaObject *omo = o->metaObject();
        for (int s = 0; s < omo->methodCount() && !found; ++s) {
            const QMetaMethod sm = omo->method(s);
            found = sm.methodType() == QMetaMethod::Signal && sm.name() == signal
                && QMetaObject::checkConnectArgs(sm, m);
        }
        QVERIFY2(found, name.constData());
        ++bound;
    }
    QCOMPARE(bound, 21);
}

void tst_Form::noSlotRunsDuringSetup()
{
    FormHost host;
    QVERIFY2(host.calls.isEmpty(), qPrintable(host.calls.join(", ")));
    QCOMPARE(host.ui.comboBox->currentText(), QString("NIM-IN0"));
    QCOMPARE(host.ui.sampling->currentText(), QString("1 ns"));
    QCOMPARE(host.ui.sign0->currentText(), QString("No extension (for offset binary)"));
    QCOMPARE(host.ui.sign1->currentText(), QString("No extension (for offset binary)"));
    QCOMPARE(host.ui.page->currentText(), QString("0"));
}

void tst_Form::mnemonics()
{
    FormHost host;
    showWindow(&host);
    QVERIFY(QTest::qWaitForWindowActive(&host));

    // A tab caption's mnemonic selects the page; a label's moves the focus to its buddy.
    QTest::keyClick(&host, Qt::Key_O, Qt::AltModifier);
    QCOMPARE(host.ui.tabWidget->currentIndex(), 1);
    QTest::keyClick(&host, Qt::Key_D, Qt::AltModifier);
    QTRY_VERIFY(host.ui.delay->hasFocus());
    QTest::keyClick(&host, Qt::Key_V, Qt::AltModifier);
    QTRY_VERIFY(host.ui.Vth->hasFocus());

    // Tab walks the chain.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTRY_VERIFY(host.ui.rise->hasFocus());

    QTest::keyClick(&host, Qt::Key_E, Qt::AltModifier);
    QCOMPARE(host.ui.tabWidget->currentIndex(), 3);
    QTest::keyClick(&host, Qt::Key_1, Qt::AltModifier);
    QTRY_VERIFY(host.ui.sign1->hasFocus());
}

void tst_Form::mainWindowStartsOnGeneralOnly()
{
    for (bool useT0 : {false, true}) {
        MainWindow w(useT0, 1024);
        auto *tabs = w.findChild<QTabWidget *>("tabWidget");
        QVERIFY(tabs);
        QCOMPARE(tabs->currentIndex(), 0);
        QCOMPARE(tabs->tabText(0), QString("&General"));
        QVERIFY(tabs->isTabEnabled(0));
        for (int i = 1; i < tabs->count(); ++i)
            QVERIFY(!tabs->isTabEnabled(i));
        // The page itself is disabled, so look at the widgets' own state.
        QWidget *page = tabs->widget(1);
        QCOMPARE(w.findChild<QPushButton *>("calibration")->isEnabledTo(page), !useT0);
        QVERIFY(!w.findChild<QCheckBox *>("usingCalibration")->isEnabledTo(page));
        QVERIFY(w.findChild<QPushButton *>("start")->isEnabledTo(page));
        QCOMPARE(w.windowTitle(), QString("16ch 1Gsps Digitizer"));
    }
}

void tst_Form::quitShortcutClosesWindow()
{
    MainWindow w(false, 1024);
    QSignalSpy closing(&w, &MainWindow::closeWindow);
    showWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(&w, Qt::Key_Q, Qt::ControlModifier);
    QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), 2000);
    QCOMPARE(closing.count(), 1);
}

// With SCREENSHOT_DIR set, saves the window as an operator sees it
// (scripts/screenshot.sh): at start, then each page after a Read from the
// board emulator on 127.0.0.1; the Operation page once the board's status
// has come in.
void tst_Form::grabScreenshot()
{
    const QString dir = qEnvironmentVariable("SCREENSHOT_DIR");
    if (dir.isEmpty())
        QSKIP("SCREENSHOT_DIR not set");
    BoardEmulator emu;
    QVERIFY(emu.start());
    MainWindow w(false, 1024);
    showWindow(&w);
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto save = [&](const QString &name) { return w.grab().save(QDir(dir).filePath(name)); };
    QVERIFY(save("start.png"));
    QVERIFY(readBoard(w, emu));
    auto *tabs = w.findChild<QTabWidget *>("tabWidget");
    QSignalSpy status(&w, &MainWindow::received);
    const QStringList names = {"general", "operation", "registers", "eeprom", "server"};
    for (int i = 0; i < tabs->count(); ++i) {
        status.clear();
        tabs->setCurrentIndex(i);
        if (i == 1)
            QTRY_VERIFY_WITH_TIMEOUT(status.count() >= 1, 5000);
        QCoreApplication::processEvents();
        QVERIFY(save(QString("page%1-%2.png").arg(i).arg(names[i])));
    }
}

QTEST_MAIN(tst_Form)
#include "tst_form.moc"
