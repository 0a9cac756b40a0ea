#ifndef REGISTERMAP_H
#define REGISTERMAP_H

#include <QtGlobal>

// The board's register map: byte i of the register image is register i.
namespace Reg {

constexpr int ImageSize = 48;

// Registers 0 to 3: FPGA version.
constexpr int FpgaVersion = 0;
constexpr int FpgaVersionLength = 4;

// Register 4: acquisition control. Every write keeps the setup bit, except
// the condition toggle, which writes the whole byte.
constexpr int Control = 4;
constexpr quint8 ControlSetup = 0x80;
constexpr quint8 ControlContinuous = 0x40;
constexpr quint8 ControlStart = 0x20;
constexpr quint8 ControlStop = 0x10;
constexpr quint8 ControlReset = 0x08;
constexpr quint8 ControlT0 = 0x01;

// Register 5: 0x80 while an EEPROM page is written, 0 afterwards.
constexpr int RomWrite = 5;
constexpr quint8 RomWriteEnable = 0x80;

// Register 6: boot page (bits 7-6), ADC auto setting off, force default.
constexpr int Boot = 6;
constexpr int BootPageShift = 6;
constexpr quint8 BootPageMask = 0xC0;
constexpr quint8 BootAdcAutoOff = 0x20;
constexpr quint8 BootForceDefault = 0x10;

// Register 7: status; the worker refreshes registers 7 to 13 on every poll.
constexpr int Status = 7;
constexpr int StatusLength = 7;
constexpr quint8 StatusAdcReady = 0x03; // both bits set
constexpr quint8 StatusDrsReady = 0x04;
constexpr quint8 StatusExecuting = 0x08;

// Registers 8 to 13: minimum, average and maximum of the trigger channel,
// big-endian signed 16-bit, in threshold units.
constexpr int VthMonitor = 8;
constexpr int VthMonitorMin = 8;
constexpr int VthMonitorAverage = 10;
constexpr int VthMonitorMax = 12;

// Register 16: trigger source. Bit 4 set: channel trigger, channel in bits
// 0-3; clear: NIM input in bit 0. Bit 5: falling edge.
constexpr int TriggerSource = 16;
constexpr quint8 TriggerChannel = 0x10;
constexpr quint8 TriggerChannelMask = 0x0F;
constexpr quint8 TriggerNimMask = 0x01;
constexpr quint8 TriggerFalling = 0x20;

// Register 17: trigger delay in steps of 6.4 ns.
constexpr int TriggerDelay = 17;
constexpr double TriggerDelayStepNs = 6.4;

// Registers 18 and 19: threshold, big-endian signed 16-bit ADC counts.
constexpr int TriggerVth = 18;
constexpr int TriggerVthHigh = 18;
constexpr int TriggerVthLow = 19;

// Register 20: sampling code (bits 0-1), ADC0 and ADC1 sign extension.
constexpr int Sampling = 20;
constexpr quint8 SamplingCodeMask = 0x03;
constexpr quint8 SamplingSignAdc0 = 0x04;
constexpr quint8 SamplingSignAdc1 = 0x08;
constexpr quint8 SamplingSignMask = 0x0C;

// Samples per ns for each sampling code.
constexpr int SamplesPerNs[4] = {1, 2, 3, 5};

// Registers 32 to 35: DRS4 configuration.
constexpr int Drs4Config = 32;
constexpr int Drs4WriteShift = 33;
constexpr int Drs4WriteConfig = 34;
constexpr int AdcDelayAdjust = 35;

// Registers 36 to 47: six big-endian 16-bit DAC codes, in this order:
// DRS4-0 VROFS, DRS4-1 VROFS, DRS4-0 VBIAS, DRS4-1 VBIAS, DRS4-0 VOOFS,
// DRS4-1 VOOFS. Volts = code * 2.5 / 65536.
constexpr int Dac = 36;
constexpr int DacCount = 6;
constexpr double DacFullScaleVolts = 2.5;
constexpr int DacCodes = 65536;

// Registers 32 to 47 are written together by the Registers tab.
constexpr int Drs4First = 32;
constexpr int Drs4Length = 16;

// EEPROM pages: registers 16 to 47 as kept in page n at 0x80 + 32 n.
constexpr int EepromPageFirst = 16;
constexpr int EepromPageSize = 32;
constexpr int EepromPages = 4;
constexpr quint32 EepromBase = 0x80;

constexpr quint32 eepromPageAddress(int page) { return EepromBase + quint32(EepromPageSize * page); }

} // namespace Reg

#endif
