#include "qudpthread.h"

#include <QBrush>
#include <QDeadlineTimer>
#include <QMetaObject>
#include <QMutexLocker>
#include <QTableWidget>
#include <QTableWidgetItem>
#include <exception>

namespace {

const int StatusRegister = Reg::Status;
const int StatusLength = Reg::StatusLength;
const int BootRegister = Reg::Boot;
const int RomWriteRegister = Reg::RomWrite;
const int PageFirstRegister = Reg::EepromPageFirst;
const int SamplingRegister = Reg::Sampling;
const int PollPauseMs = 500;

const int AlignLeft = Qt::AlignVCenter;
const int AlignRight = Qt::AlignRight | Qt::AlignVCenter;
const int AlignCentre = Qt::AlignCenter;

quint8 byteAt(const QByteArray &bytes, int index)
{
    return static_cast<quint8>(bytes.at(index));
}

quint16 wordAt(const QByteArray &bytes, int index)
{
    return static_cast<quint16>(byteAt(bytes, index) << 8 | byteAt(bytes, index + 1));
}

void appendFpgaVersion(const QByteArray &image, QString *text)
{
    if (!text || image.size() < Reg::FpgaVersion + Reg::FpgaVersionLength)
        return;
    for (int i = Reg::FpgaVersion; i < Reg::FpgaVersion + Reg::FpgaVersionLength; ++i)
        text->append(QString("%1").arg(byteAt(image, i), 2, 16, QChar('0')).toUpper());
}

void appendSignExtension(const QByteArray &image, QString *text)
{
    if (!text || image.size() <= SamplingRegister)
        return;
    const quint8 sampling = byteAt(image, SamplingRegister);
    text->append("ADC0 Sign Extension : ");
    text->append((sampling & Reg::SamplingSignAdc0) ? "ON\n" : "OFF\n");
    text->append("ADC1 Sign Extension : ");
    text->append((sampling & Reg::SamplingSignAdc1) ? "ON\n" : "OFF\n");
}

// One DAC line: the DRS4-0 value, then the DRS4-1 value when present.
void appendDacLine(const QByteArray &image, QString *text, const char *label, int first)
{
    if (image.size() < first + 2)
        return;
    text->append(label);
    text->append(QUdpThread::toVolt(wordAt(image, first)));
    if (image.size() >= first + 4) {
        text->append("V,");
        text->append(QUdpThread::toVolt(wordAt(image, first + 2)));
    }
    text->append("V\n");
}

} // namespace

QUdpThread::QUdpThread(QObject *parent)
    : QTelvo(parent)
{
}

QUdpThread::~QUdpThread()
{
    stop();
    clearQueue();
}

bool QUdpThread::updateHost(const QHostAddress &newHost, quint16 newUdpPort)
{
    if (newHost == host && newUdpPort == udpPort)
        return false;
    host = newHost;
    udpPort = newUdpPort;
    return true;
}

bool QUdpThread::setRegister(int address, quint8 value)
{
    if (address < 0)
        return false;
    QMutexLocker lock(&imageMutex);
    if (address < registerImage.size()) {
        registerImage[address] = static_cast<char>(value);
        return true;
    }
    if (address == registerImage.size()) {
        registerImage.append(static_cast<char>(value));
        return true;
    }
    return false;
}

void QUdpThread::writeRegisters(int address, quint8 length)
{
    if (address < 0)
        return;
    QByteArray slice;
    {
        QMutexLocker lock(&imageMutex);
        if (address < registerImage.size())
            slice = registerImage.mid(address, length);
    }
    queueWrite(static_cast<quint32>(address), slice);
}

bool QUdpThread::hasRegisters() const
{
    QMutexLocker lock(&imageMutex);
    return registerImage.size() > 6;
}

int QUdpThread::registerCount() const
{
    QMutexLocker lock(&imageMutex);
    return registerImage.size();
}

int QUdpThread::registerValue(int address) const
{
    QMutexLocker lock(&imageMutex);
    if (address < 0 || address >= registerImage.size())
        return -1;
    return byteAt(registerImage, address);
}

QByteArray QUdpThread::registers() const
{
    QMutexLocker lock(&imageMutex);
    return registerImage;
}

QByteArray QUdpThread::eepromPage(int page) const
{
    if (page < 0 || page >= PageCount)
        return QByteArray();
    QMutexLocker lock(&imageMutex);
    return eepromPages[page];
}

void QUdpThread::queueWrite(quint32 address, const QByteArray &data)
{
    auto request = std::make_unique<UdpRequest>(true);
    request->address = address;
    request->data = data;
    QMutexLocker lock(&queueMutex);
    requestQueue.push_back(std::move(request));
}

void QUdpThread::queueRead(quint32 address, quint8 length)
{
    auto request = std::make_unique<UdpRequest>(false);
    request->address = address;
    request->length = length;
    QMutexLocker lock(&queueMutex);
    requestQueue.push_back(std::move(request));
}

int QUdpThread::queuedRequests() const
{
    QMutexLocker lock(&queueMutex);
    return static_cast<int>(requestQueue.size());
}

void QUdpThread::setNetwork(quint32 ip, quint16 tcpPort, quint16 udpPort)
{
    networkIp = ip;
    networkTcpPort = tcpPort;
    networkUdpPort = udpPort;
    mode = ModeWriteNetwork;
}

bool QUdpThread::waitForQueue(int ms)
{
    QDeadlineTimer deadline(ms);
    QMutexLocker lock(&queueMutex);
    while ((!requestQueue.empty() || requestInFlight) && isRunning() && !deadline.hasExpired())
        queueDone.wait(&queueMutex, qMin<qint64>(deadline.remainingTime(), 50));
    return requestQueue.empty() && !requestInFlight;
}

std::unique_ptr<UdpRequest> QUdpThread::takeRequest()
{
    QMutexLocker lock(&queueMutex);
    if (requestQueue.empty())
        return nullptr;
    std::unique_ptr<UdpRequest> request = std::move(requestQueue.front());
    requestQueue.erase(requestQueue.begin());
    requestInFlight = true;
    return request;
}

void QUdpThread::requestDone()
{
    QMutexLocker lock(&queueMutex);
    requestInFlight = false;
    queueDone.wakeAll();
}

void QUdpThread::clearQueue()
{
    QMutexLocker lock(&queueMutex);
    requestQueue.clear();
    requestInFlight = false;
    queueDone.wakeAll();
}

// Sends a write request; read requests are dropped unsent.
void QUdpThread::sendRequest(std::unique_ptr<UdpRequest> request)
{
    if (!request->isWrite) {
        requestDone();
        return;
    }
    const QByteArray &data = request->data;
    const int n = write(request->address, reinterpret_cast<const uchar *>(data.constData()),
                        static_cast<uint>(data.size()));
    requestDone();
    if (n == 0)
        throw QString("Write ERROR");
}

void QUdpThread::run()
{
    if (!openSocket())
        return;
    const int job = mode.load();
    try {
        switch (job) {
        case ModeReadInfo:
            for (int n = 0; n < PageCount; ++n)
                readPage(n);
            readInformation();
            break;
        case ModePoll:
            pollLoop();
            break;
        case ModeFlush:
            flushQueue();
            break;
        case ModeWriteNetwork:
            writeNetworkSettings(networkIp, networkUdpPort, networkTcpPort);
            readInformation();
            break;
        case ModeSaveRom:
            saveRom();
            break;
        default:
            break;
        }
        closedFlag = true;
    } catch (const QString &text) {
        errorText = text;
        if (!abortFlag)
            emit error(errorText);
    } catch (const ErrSts &status) {
        appendErrorText(status.code);
        if (!abortFlag)
            emit error(errorText);
    } catch (const std::exception &e) {
        errorText = QString::fromLocal8Bit(e.what());
        if (!abortFlag)
            emit error(errorText);
    } catch (...) {
        errorText = QStringLiteral("Unknown error");
        if (!abortFlag)
            emit error(errorText);
    }
    clearQueue();
    mode = ModeIdle;
    emit closed(closedFlag.load());
}

void QUdpThread::pollLoop()
{
    while (!abortFlag) {
        if (std::unique_ptr<UdpRequest> request = takeRequest())
            sendRequest(std::move(request));

        uchar status[StatusLength] = {};
        const int n = read(StatusRegister, status, StatusLength);
        if (n == 0)
            throw QString("Read ERROR");
        {
            // Only registers 7 to 13 are refreshed, and only those the image holds.
            QMutexLocker lock(&imageMutex);
            const int count = qMin(n, StatusLength);
            for (int i = 0; i < count && StatusRegister + i < registerImage.size(); ++i)
                registerImage[StatusRegister + i] = static_cast<char>(status[i]);
        }
        emit received(static_cast<quint8>(status[0]));
        pause(PollPauseMs);
    }
}

void QUdpThread::flushQueue()
{
    while (std::unique_ptr<UdpRequest> request = takeRequest())
        sendRequest(std::move(request));
}

void QUdpThread::saveRom()
{
    QByteArray page;
    {
        QMutexLocker lock(&imageMutex);
        if (registerImage.size() < ImageSize)
            return;
        page = registerImage.mid(PageFirstRegister, PageSize);
    }
    if (romPage < 0 || romPage >= PageCount)
        throw QString("Invalid EEPROM page %1").arg(romPage);

    const quint8 bits = signBits & Reg::SamplingSignMask;
    const quint8 sampling = byteAt(page, SamplingRegister - PageFirstRegister);
    if ((sampling & Reg::SamplingSignMask) != bits)
        page[SamplingRegister - PageFirstRegister] =
            static_cast<char>((sampling & ~Reg::SamplingSignMask) | bits);

    const quint32 base = Reg::eepromPageAddress(romPage);
    try {
        if (writeByte(RomWriteRegister, Reg::RomWriteEnable) > 0) {
            const uchar *bytes = reinterpret_cast<const uchar *>(page.constData());
            for (int k = 0; k < PageSize / 4; ++k) {
                if (write(base + 4 * k, bytes + 4 * k, 4) == 0)
                    break;
            }
        }
    } catch (...) {
        // The EEPROM gate is not left open by a failed page write.
        undoAfterFailure([this] { writeByte(RomWriteRegister, 0); });
        throw;
    }
    writeByte(RomWriteRegister, 0);
    readPage(romPage);
    readInformation();
}

// Reads one EEPROM page; a read that delivers nothing clears the page.
bool QUdpThread::readPage(int page)
{
    QByteArray buffer;
    {
        QMutexLocker lock(&imageMutex);
        buffer = eepromPages[page];
    }
    buffer.resize(PageSize);
    const int n = read(Reg::eepromPageAddress(page), reinterpret_cast<uchar *>(buffer.data()), PageSize);
    QMutexLocker lock(&imageMutex);
    if (n == 0) {
        eepromPages[page].clear();
        return false;
    }
    eepromPages[page] = buffer;
    return true;
}

bool QUdpThread::readRegisters()
{
    QByteArray buffer = registers();
    buffer.resize(ImageSize);
    const int n = read(0, reinterpret_cast<uchar *>(buffer.data()), ImageSize);
    QMutexLocker lock(&imageMutex);
    if (n == 0) {
        registerImage.clear();
        return false;
    }
    registerImage = buffer;
    return true;
}

void QUdpThread::readInformation()
{
    if (!readEepromInformation())
        throw QString("Unable to read Vortiq information");
    if (!readRegisters())
        throw QString("Unable to read information from Register");
    report.clear();
    eepromInformation(&report);
    registerInformation(&report);
    emit received(report);
    const int status = registerValue(StatusRegister);
    emit received(static_cast<quint8>(status < 0 ? 0 : status));
}

void QUdpThread::registerInformation(QString *text) const
{
    const QByteArray image = registers();
    if (!text || image.isEmpty())
        return;
    const int size = image.size();
    text->append("--------- Register Information --------------\n");
    text->append("FPGA Version : ");
    appendFpgaVersion(image, text);
    text->append("\n");
    if (size > BootRegister) {
        const quint8 boot = byteAt(image, BootRegister);
        text->append("Force Default : ");
        text->append((boot & Reg::BootForceDefault) ? "ON" : "OFF");
        text->append("\n");
        text->append("ADC auto setting : ");
        text->append((boot & Reg::BootAdcAutoOff) ? "OFF" : "ON");
        text->append("\n");
        text->append(QString("EEPROM Boot Page : %1").arg(boot >> Reg::BootPageShift));
        text->append("\n");
    }
    appendSignExtension(image, text);
    if (size > Reg::Drs4Config)
        text->append("DRS4 Config Register : " + toHex(byteAt(image, Reg::Drs4Config)) + "\n");
    if (size > Reg::Drs4WriteShift)
        text->append("DRS4 Write Shift Register : " + toHex(byteAt(image, Reg::Drs4WriteShift)) + "\n");
    if (size > Reg::Drs4WriteConfig)
        text->append("DRS4 Write Config Register : " + toHex(byteAt(image, Reg::Drs4WriteConfig)) + "\n");
    if (size > Reg::AdcDelayAdjust)
        text->append(QString("ADC Delay Adjust Register : %1").arg(byteAt(image, Reg::AdcDelayAdjust)) + "\n");
    appendDacLine(image, text, "VROFS : ", Reg::Dac);
    appendDacLine(image, text, "VBIAS : ", Reg::Dac + 4);
    appendDacLine(image, text, "VOOFS : ", Reg::Dac + 8);
    text->append("---------------------------------------------");
}

void QUdpThread::fpgaVersion(QString *text) const
{
    appendFpgaVersion(registers(), text);
}

void QUdpThread::signExtensionInformation(QString *text) const
{
    appendSignExtension(registers(), text);
}

QString QUdpThread::toHex(quint8 value)
{
    return "0x" + QString("%1").arg(value, 2, 16, QChar('0')).toUpper();
}

QString QUdpThread::toVolt(quint16 code)
{
    return QString("%1").arg(code * Reg::DacFullScaleVolts / Reg::DacCodes, 0, 'g', 3);
}

void QUdpThread::fillRegisterTable(QTableWidget *table) const
{
    if (!table)
        return;
    QByteArray image;
    QByteArray pages[PageCount];
    {
        QMutexLocker lock(&imageMutex);
        image = registerImage;
        for (int n = 0; n < PageCount; ++n)
            pages[n] = eepromPages[n];
    }
    if (image.size() >= ImageSize)
        fillRegisterColumn(table, image.mid(PageFirstRegister, PageSize), 0);
    for (int n = 0; n < PageCount; ++n) {
        if (!pages[n].isEmpty())
            fillRegisterColumn(table, pages[n], n + 1);
    }
}

void QUdpThread::fillRegisterColumn(QTableWidget *table, const QByteArray &page, int column) const
{
    if (!table || page.size() < PageSize)
        return;
    const int boot = registerValue(BootRegister);
    const bool marked = boot >= 0 && (boot >> Reg::BootPageShift) + 1 == column;
    const QBrush mark(Qt::cyan);

    int row = 0;
    auto put = [&](const QString &text, int alignment) {
        auto *item = new QTableWidgetItem(text);
        item->setData(Qt::TextAlignmentRole, alignment);
        if (marked)
            item->setBackground(mark);
        table->setItem(row++, column, item);
    };

    // Byte offset in the page of a register.
    auto at = [](int reg) { return reg - PageFirstRegister; };

    const quint8 source = byteAt(page, at(Reg::TriggerSource));
    if (source & Reg::TriggerChannel) {
        put(QString("ch.%1").arg(source & Reg::TriggerChannelMask), AlignLeft);
        put(QString("%1").arg(static_cast<qint16>(wordAt(page, at(Reg::TriggerVth)))), AlignRight);
        put((source & Reg::TriggerFalling) ? "Fall" : "Rise", AlignLeft);
    } else {
        put(QString("NIM%1").arg(source & Reg::TriggerNimMask), AlignLeft);
        put("-", AlignCentre);
        put("-", AlignCentre);
    }
    put(QString("%1ns").arg(byteAt(page, at(Reg::TriggerDelay)) * Reg::TriggerDelayStepNs, 0, 'g', 6),
        AlignRight);

    static const char *const rates[] = {"1ns", "1/2ns", "1/3ns", "1/5ns"};
    const quint8 sampling = byteAt(page, at(SamplingRegister));
    put(rates[sampling & Reg::SamplingCodeMask], AlignRight);
    put((sampling & Reg::SamplingSignAdc0) ? "ON" : "OFF", AlignCentre);
    put((sampling & Reg::SamplingSignAdc1) ? "ON" : "OFF", AlignCentre);

    put(toHex(byteAt(page, at(Reg::Drs4Config))), AlignRight);
    put(toHex(byteAt(page, at(Reg::Drs4WriteShift))), AlignRight);
    put(toHex(byteAt(page, at(Reg::Drs4WriteConfig))), AlignRight);
    put(QString("%1").arg(byteAt(page, at(Reg::AdcDelayAdjust))), AlignRight);
    for (int k = at(Reg::Dac); k < PageSize; k += 2)
        put(toVolt(wordAt(page, k)) + "V", AlignRight);
}
