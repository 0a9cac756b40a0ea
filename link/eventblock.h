#ifndef EVENTBLOCK_H
#define EVENTBLOCK_H

#include <QtGlobal>

// Layout of one event block as the board sends it: a 4-byte header
// 0x55 0x55 0xAA 0xAA, then 16 channels of 1024 big-endian signed 16-bit
// words. Word 0 of a channel is its start cell, words 1 to 1023 its samples
// (all 1024 are samples in T0 mode).
namespace Event {

constexpr int HeaderSize = 4;
constexpr int Channels = 16;
constexpr int Words = 1024;
constexpr int Cells = 1024;
constexpr int CellMask = Cells - 1;
constexpr int ChannelBytes = 2 * Words;
constexpr int BlockSize = HeaderSize + Channels * ChannelBytes; // 32772
constexpr uchar Header[HeaderSize] = {0x55, 0x55, 0xAA, 0xAA};

// Byte offset of word k of channel c.
constexpr int wordOffset(int channel, int k) { return HeaderSize + ChannelBytes * channel + 2 * k; }

inline bool hasHeader(const uchar *block)
{
    return block[0] == Header[0] && block[1] == Header[1] && block[2] == Header[2] && block[3] == Header[3];
}

// Word k of channel c of a whole block.
inline qint16 word(const uchar *block, int channel, int k)
{
    const uchar *p = block + wordOffset(channel, k);
    return qint16(quint16(p[0] << 8 | p[1]));
}

inline void setWord(uchar *block, int channel, int k, qint16 value)
{
    uchar *p = block + wordOffset(channel, k);
    p[0] = uchar(quint16(value) >> 8);
    p[1] = uchar(quint16(value) & 0xFF);
}

// The DRS4 start cell of a channel, brought into 0..1023.
inline int startCell(const uchar *block, int channel)
{
    return word(block, channel, 0) & CellMask;
}

// The cell of sample word k (k >= 1) for a given start cell.
constexpr int cellOf(int startCell, int k) { return (startCell + k - 1) & CellMask; }

} // namespace Event

#endif
