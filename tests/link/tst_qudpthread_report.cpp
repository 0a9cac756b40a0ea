// Register report, EEPROM page table and the image/queue interface of the
// register worker, without a board.

#include "qudpthread.h"
#include "testsupport.h"

#include <QBrush>
#include <QTableWidget>
#include <QtTest>

namespace {

const QString Head = "--------- Register Information --------------\n";
const QString Tail = "---------------------------------------------";

// A whole register image with known values.
QByteArray knownImage()
{
    const quint8 regs[48] = {
        0x01, 0x02, 0x03, 0x0A, 0x80, 0x00, 0x90, 0x07,  // 0-7
        0xFF, 0x9C, 0x00, 0x10, 0x01, 0xF4, 0x00, 0x00,  // 8-15
        0x35, 0x03, 0xFF, 0x38, 0x06, 0x21, 0x22, 0x23,  // 16-23
        0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B,  // 24-31
        0xFF, 0x12, 0x0A, 0xC8, 0x80, 0x00, 0x00, 0x00,  // 32-39
        0xFF, 0xFF, 0x40, 0x00, 0x03, 0xE8, 0xC0, 0x00}; // 40-47
    return QByteArray(reinterpret_cast<const char *>(regs), 48);
}

void loadImage(QUdpThread &udp, const QByteArray &image)
{
    for (int i = 0; i < image.size(); ++i)
        QVERIFY(udp.setRegister(i, static_cast<quint8>(image.at(i))));
}

QTableWidget *makeTable(QObject *owner)
{
    auto *table = new QTableWidget(17, 5);
    QObject::connect(owner, &QObject::destroyed, table, [table] { delete table; });
    return table;
}

QStringList columnTexts(QTableWidget *table, int column)
{
    QStringList texts;
    for (int row = 0; row < table->rowCount(); ++row) {
        QTableWidgetItem *item = table->item(row, column);
        texts << (item ? item->text() : QString("<none>"));
    }
    return texts;
}

QList<int> columnAlignments(QTableWidget *table, int column)
{
    QList<int> alignments;
    for (int row = 0; row < table->rowCount(); ++row) {
        QTableWidgetItem *item = table->item(row, column);
        alignments << (item ? item->data(Qt::TextAlignmentRole).toInt() : -1);
    }
    return alignments;
}

// 1 = every item cyan, 0 = no item has a background, -1 = mixed or empty.
int columnMarked(QTableWidget *table, int column)
{
    int cyan = 0, plain = 0;
    for (int row = 0; row < table->rowCount(); ++row) {
        QTableWidgetItem *item = table->item(row, column);
        if (!item)
            return -1;
        const QVariant bg = item->data(Qt::BackgroundRole);
        if (!bg.isValid())
            ++plain;
        else if (item->background().color() == QColor(Qt::cyan))
            ++cyan;
    }
    if (cyan == table->rowCount())
        return 1;
    if (plain == table->rowCount())
        return 0;
    return -1;
}

const int L = 0x80, R = 0x82, C = 0x84;

} // namespace

class TestQUdpThreadReport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { installFailOnWarnings(); }

    void reportTruncation_data();
    void reportTruncation();
    void reportExamples();
    void partialHelpers();

    void imageEditing();
    void updateHost();

    void columnKnownPage();
    void columnZeroAndNimPages();
    void bootPageMarking();
    void tableColumnsFromImageAndPages();
};

void TestQUdpThreadReport::reportTruncation_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("expected");

    const QString fpga = "FPGA Version : 0102030A\n";
    const QString boot = "Force Default : ON\nADC auto setting : ON\nEEPROM Boot Page : 2\n";
    const QString sign = "ADC0 Sign Extension : ON\nADC1 Sign Extension : OFF\n";
    const QString drs = "DRS4 Config Register : 0xFF\n";
    const QString shift = "DRS4 Write Shift Register : 0x12\n";
    const QString wcfg = "DRS4 Write Config Register : 0x0A\n";
    const QString delay = "ADC Delay Adjust Register : 200\n";
    const QString upToDelay = Head + fpga + boot + sign + drs + shift + wcfg + delay;

    QTest::newRow("empty") << 0 << QString();
    QTest::newRow("1 byte") << 1 << Head + "FPGA Version : \n" + Tail;
    QTest::newRow("3 bytes") << 3 << Head + "FPGA Version : \n" + Tail;
    QTest::newRow("4 bytes") << 4 << Head + fpga + Tail;
    QTest::newRow("6 bytes") << 6 << Head + fpga + Tail;
    QTest::newRow("7 bytes") << 7 << Head + fpga + boot + Tail;
    QTest::newRow("20 bytes") << 20 << Head + fpga + boot + Tail;
    QTest::newRow("21 bytes") << 21 << Head + fpga + boot + sign + Tail;
    QTest::newRow("32 bytes") << 32 << Head + fpga + boot + sign + Tail;
    QTest::newRow("33 bytes") << 33 << Head + fpga + boot + sign + drs + Tail;
    QTest::newRow("35 bytes") << 35 << Head + fpga + boot + sign + drs + shift + wcfg + Tail;
    QTest::newRow("36 bytes") << 36 << upToDelay + Tail;
    QTest::newRow("37 bytes") << 37 << upToDelay + Tail;
    QTest::newRow("38 bytes") << 38 << upToDelay + "VROFS : 1.25V\n" + Tail;
    QTest::newRow("39 bytes") << 39 << upToDelay + "VROFS : 1.25V\n" + Tail;
    QTest::newRow("40 bytes") << 40 << upToDelay + "VROFS : 1.25V,0V\n" + Tail;
    QTest::newRow("42 bytes") << 42 << upToDelay + "VROFS : 1.25V,0V\nVBIAS : 2.5V\n" + Tail;
    QTest::newRow("44 bytes") << 44 << upToDelay + "VROFS : 1.25V,0V\nVBIAS : 2.5V,0.625V\n" + Tail;
    QTest::newRow("46 bytes") << 46
        << upToDelay + "VROFS : 1.25V,0V\nVBIAS : 2.5V,0.625V\nVOOFS : 0.0381V\n" + Tail;
    QTest::newRow("48 bytes") << 48
        << upToDelay + "VROFS : 1.25V,0V\nVBIAS : 2.5V,0.625V\nVOOFS : 0.0381V,1.88V\n" + Tail;
}

void TestQUdpThreadReport::reportTruncation()
{
    QFETCH(int, size);
    QFETCH(QString, expected);
    QUdpThread udp;
    loadImage(udp, knownImage().left(size));
    QCOMPARE(udp.registerCount(), size);

    QString text = "prefix\n";
    udp.registerInformation(&text);
    QCOMPARE(text, "prefix\n" + expected);
}

void TestQUdpThreadReport::reportExamples()
{
    QUdpThread udp;
    QByteArray image(48, '\0');
    image[0] = 1; image[1] = 2; image[2] = 3; image[3] = 10;
    image[6] = char(0x60);  // ADC auto setting off, boot page 1, no force default
    image[20] = char(0x08);
    image[32] = char(255);
    image[36] = char(0x80);  // 32768
    image[35] = char(0x80);  // 128, unsigned
    loadImage(udp, image);

    QString text;
    udp.registerInformation(&text);
    QVERIFY(text.contains("\nFPGA Version : 0102030A\n"));
    QVERIFY(text.contains("\nForce Default : OFF\nADC auto setting : OFF\nEEPROM Boot Page : 1\n"));
    QVERIFY(text.contains("\nADC0 Sign Extension : OFF\nADC1 Sign Extension : ON\n"));
    QVERIFY(text.contains("\nDRS4 Config Register : 0xFF\n"));
    QVERIFY(text.contains("\nADC Delay Adjust Register : 128\n"));
    QVERIFY(text.contains("\nVROFS : 1.25V,0V\n"));
    QVERIFY(text.contains("\nVOOFS : 0V,0V\n"));
    QVERIFY(text.endsWith("V\n" + Tail));
}

void TestQUdpThreadReport::partialHelpers()
{
    QUdpThread udp;
    QString text;
    udp.fpgaVersion(nullptr);
    udp.registerInformation(nullptr);
    udp.signExtensionInformation(nullptr);
    udp.fpgaVersion(&text);
    udp.signExtensionInformation(&text);
    QCOMPARE(text, QString());

    loadImage(udp, knownImage().left(20));
    udp.fpgaVersion(&text);
    QCOMPARE(text, QString("0102030A"));
    udp.signExtensionInformation(&text);
    QCOMPARE(text, QString("0102030A"));  // register 20 missing

    QVERIFY(udp.setRegister(20, 0x0C));
    text.clear();
    udp.signExtensionInformation(&text);
    QCOMPARE(text, QString("ADC0 Sign Extension : ON\nADC1 Sign Extension : ON\n"));
}

void TestQUdpThreadReport::imageEditing()
{
    QUdpThread udp;
    QVERIFY(!udp.hasRegisters());
    QCOMPARE(udp.registerValue(0), -1);

    // Out-of-range addresses are refused and change nothing.
    QVERIFY(!udp.setRegister(-1, 0x11));
    QVERIFY(!udp.setRegister(1, 0x11));
    QCOMPARE(udp.registerCount(), 0);

    // The address equal to the length grows the image by one.
    for (int i = 0; i < 6; ++i)
        QVERIFY(udp.setRegister(i, quint8(0x10 + i)));
    QVERIFY(!udp.hasRegisters());
    QVERIFY(udp.setRegister(6, 0x16));
    QVERIFY(udp.hasRegisters());
    QVERIFY(udp.setRegister(3, 0xEE));
    QCOMPARE(udp.registers(), QByteArray::fromHex("101112ee141516"));
    QCOMPARE(udp.registerValue(3), 0xEE);
    QCOMPARE(udp.registerValue(6), 0x16);
    QCOMPARE(udp.registerValue(7), -1);
    QCOMPARE(udp.registerValue(-1), -1);

    QVERIFY(udp.eepromPage(0).isEmpty());
    QVERIFY(udp.eepromPage(-1).isEmpty());
    QVERIFY(udp.eepromPage(4).isEmpty());

    // Writes of slices: a negative address is refused, one beyond the end
    // queues an empty write.
    udp.writeRegisters(-1, 4);
    QCOMPARE(udp.queuedRequests(), 0);
    udp.writeRegisters(7, 1);
    udp.writeRegisters(2, 3);
    QCOMPARE(udp.queuedRequests(), 2);
}

void TestQUdpThreadReport::updateHost()
{
    QUdpThread udp;
    QVERIFY(udp.updateHost(QHostAddress::LocalHost, 4660));
    QVERIFY(!udp.updateHost(QHostAddress::LocalHost, 4660));
    QVERIFY(udp.updateHost(QHostAddress::LocalHost, 4661));
    QVERIFY(!udp.updateHost(QHostAddress("127.0.0.1"), 4661));
    QVERIFY(udp.updateHost(QHostAddress("127.0.0.2"), 4661));
}

void TestQUdpThreadReport::columnKnownPage()
{
    QUdpThread udp;
    QTableWidget *table = makeTable(this);
    const QByteArray page = knownImage().mid(16, 32);
    udp.fillRegisterColumn(table, page, 2);

    QCOMPARE(columnTexts(table, 2),
             QStringList({"ch.5", "-200", "Fall", "19.2ns", "1/3ns", "ON", "OFF",
                          "0xFF", "0x12", "0x0A", "200",
                          "1.25V", "0V", "2.5V", "0.625V", "0.0381V", "1.88V"}));
    QCOMPARE(columnAlignments(table, 2),
             QList<int>({L, R, L, R, R, C, C, R, R, R, R, R, R, R, R, R, R}));
    QCOMPARE(table->item(0, 2)->type(), 0);
    QCOMPARE(columnMarked(table, 2), 0);  // no image, no boot page
    QCOMPARE(table->item(0, 1), nullptr);

    // Rising edge, delay 10 steps, 1/5 ns, sign bits swapped.
    QByteArray other = page;
    other[0] = char(0x1F);
    other[1] = char(10);
    other[2] = char(0x01);
    other[3] = char(0x00);
    other[4] = char(0x0B);
    QTableWidgetItem *before = table->item(0, 2);
    udp.fillRegisterColumn(table, other, 2);
    QVERIFY(table->item(0, 2) != before);  // items are replaced
    QCOMPARE(columnTexts(table, 2).mid(0, 7),
             QStringList({"ch.15", "256", "Rise", "64ns", "1/5ns", "OFF", "ON"}));

    // A page shorter than 32 bytes fills nothing.
    udp.fillRegisterColumn(table, page.left(31), 3);
    QCOMPARE(table->item(0, 3), nullptr);
}

void TestQUdpThreadReport::columnZeroAndNimPages()
{
    QUdpThread udp;
    QTableWidget *table = makeTable(this);
    udp.fillRegisterColumn(table, QByteArray(32, '\0'), 1);
    QCOMPARE(columnTexts(table, 1),
             QStringList({"NIM0", "-", "-", "0ns", "1ns", "OFF", "OFF", "0x00", "0x00", "0x00", "0",
                          "0V", "0V", "0V", "0V", "0V", "0V"}));
    QCOMPARE(columnAlignments(table, 1),
             QList<int>({L, C, C, R, R, C, C, R, R, R, R, R, R, R, R, R, R}));

    QByteArray nim(32, '\0');
    nim[0] = char(0x21);  // NIM1; the edge bit is not shown without a channel
    nim[2] = char(0x12);
    nim[4] = char(0x01);
    udp.fillRegisterColumn(table, nim, 1);
    QCOMPARE(columnTexts(table, 1).mid(0, 5), QStringList({"NIM1", "-", "-", "0ns", "1/2ns"}));
}

void TestQUdpThreadReport::bootPageMarking()
{
    QUdpThread udp;
    QTableWidget *table = makeTable(this);
    const QByteArray page = knownImage().mid(16, 32);

    loadImage(udp, QByteArray::fromHex("00000000000080"));  // BootRegister 0x80: page 2
    for (int column = 0; column < 5; ++column)
        udp.fillRegisterColumn(table, page, column);
    QCOMPARE(columnMarked(table, 0), 0);
    QCOMPARE(columnMarked(table, 1), 0);
    QCOMPARE(columnMarked(table, 2), 0);
    QCOMPARE(columnMarked(table, 3), 1);
    QCOMPARE(columnMarked(table, 4), 0);

    QVERIFY(udp.setRegister(6, 0x3F));  // boot page 0, low bits ignored
    for (int column = 0; column < 5; ++column)
        udp.fillRegisterColumn(table, page, column);
    QCOMPARE(columnMarked(table, 1), 1);
    QCOMPARE(columnMarked(table, 3), 0);

    QVERIFY(udp.setRegister(6, 0xC0));  // boot page 3
    udp.fillRegisterColumn(table, page, 4);
    QCOMPARE(columnMarked(table, 4), 1);
}

void TestQUdpThreadReport::tableColumnsFromImageAndPages()
{
    QUdpThread udp;
    QTableWidget *table = makeTable(this);

    udp.fillRegisterTable(nullptr);
    loadImage(udp, knownImage().left(47));
    udp.fillRegisterTable(table);  // image not whole, no pages: nothing
    for (int column = 0; column < 5; ++column)
        QCOMPARE(table->item(0, column), nullptr);

    QVERIFY(udp.setRegister(47, 0x00));
    udp.fillRegisterTable(table);
    QCOMPARE(columnTexts(table, 0).first(), QString("ch.5"));
    QCOMPARE(columnMarked(table, 0), 0);  // column 0 is never the boot page
    for (int column = 1; column < 5; ++column)
        QCOMPARE(table->item(0, column), nullptr);

    // Edits of the image show at the next fill.
    QVERIFY(udp.setRegister(16, 0x01));
    udp.fillRegisterTable(table);
    QCOMPARE(columnTexts(table, 0).mid(0, 3), QStringList({"NIM1", "-", "-"}));
}

QTEST_MAIN(TestQUdpThreadReport)
#include "tst_qudpthread_report.moc"
