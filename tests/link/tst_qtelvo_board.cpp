// Register-access client against the board emulator on 127.0.0.1.

#include "boardemulator.h"
#include "qtelvo.h"
#include "testsupport.h"

#include <QTest>

static QByteArray bytes(std::initializer_list<int> l)
{
    QByteArray a;
    for (int v : l)
        a.append(char(v));
    return a;
}

class TstQTelvoBoard : public QObject
{
    Q_OBJECT

    BoardEmulator *emu = nullptr;
    QTelvo *telvo = nullptr;

private slots:
    void initTestCase() { installFailOnWarnings(); }

    void init()
    {
        emu = new BoardEmulator;
        QVERIFY(emu->start());
        telvo = new QTelvo;
        telvo->setHost(QHostAddress::LocalHost, emu->udpPort(), 0);
        QVERIFY(telvo->openSocket());
    }
    void cleanup()
    {
        delete telvo;
        delete emu;
        telvo = nullptr;
        emu = nullptr;
    }

    void information()
    {
        emu->setInfoBlock(bytes({0x04, 0x00, 0x00, 0x0C, 0x7F, 0xA0, 0x09, 0xEE, 192, 168, 5, 7,
                                 0x00, 0x18, 0, 0, 0, 0, 0x12, 0x34}));
        emu->setWaitTime(250);
        QVERIFY(telvo->readEepromInformation());
        QCOMPARE(telvo->tcpPort(), emu->tcpPort()); // the word, not the block's port
        QCOMPARE(telvo->waitTime(), quint16(250));
        QString out;
        QVERIFY(telvo->eepromInformation(&out));
        QCOMPARE(out, QStringLiteral("--------- Vortiq(EEPROM) Information ---------\n"
                                     "MAC Address : 00:0C:7F:A0:09:EE\n"
                                     "IP Address : 192.168.05.07\n"
                                     "TCP Port : 24\n"
                                     "UDP Port : 4660\n"
                                     "Keep Alive : ON\n"));

        QByteArray block = emu->infoBlock();
        block[0] = char(0xFB);
        emu->setInfoBlock(block);
        QVERIFY(telvo->readEepromInformation());
        out = QStringLiteral("head\n");
        QVERIFY(telvo->eepromInformation(&out));
        QVERIFY(out.startsWith(QStringLiteral("head\n---------")));
        QVERIFY(out.endsWith(QStringLiteral("\nKeep Alive : OFF\n")));
    }

    void networkSettings()
    {
        QByteArray block = emu->infoBlock();
        block[0] = char(0x01);
        emu->setInfoBlock(block);
        telvo->writeNetworkSettings(0x7F000102, 5000, 2424);

        const QByteArray after = emu->infoBlock();
        QCOMPARE(after.at(0), char(0x05));
        QCOMPARE(after.mid(8, 6), bytes({0x7F, 0x00, 0x01, 0x02, 0x09, 0x78}));
        QCOMPARE(after.mid(18, 2), bytes({0x13, 0x88}));
        QCOMPARE(after.mid(2, 6), block.mid(2, 6));
        QCOMPARE(emu->writeProtect(), quint8(0xFF));

        QCOMPARE(emu->requests().size(), 6);
    }
};

QTEST_GUILESS_MAIN(TstQTelvoBoard)
#include "tst_qtelvo_board.moc"
