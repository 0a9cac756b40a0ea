#ifndef WAVEFORMGENERATOR_H
#define WAVEFORMGENERATOR_H

#include "link/eventblock.h"
#include "link/registermap.h"
#include <QByteArray>
#include <QList>
#include <QVector>

// The settings an event's waveforms depend on.
struct WaveConfig {
    quint8 triggerSource = Reg::TriggerChannel; // register 16
    quint8 delay = 0;            // register 17
    qint16 threshold = 0;        // registers 18-19
    quint8 samplingCode = 0;     // register 20 bits 0-1
    bool useT0 = false;

    bool operator==(const WaveConfig &o) const
    {
        return triggerSource == o.triggerSource && delay == o.delay && threshold == o.threshold
            && samplingCode == o.samplingCode && useT0 == o.useT0;
    }
    bool operator!=(const WaveConfig &o) const { return !(*this == o); }
    bool channelTrigger() const { return triggerSource & Reg::TriggerChannel; }
    int triggerChannel() const { return triggerSource & Reg::TriggerChannelMask; }
    bool falling() const { return triggerSource & Reg::TriggerFalling; }
};

// Small, fast generator of reproducible numbers (xorshift32).
class Rng
{
public:
    explicit Rng(quint32 seed);
    quint32 next();
    int range(int lo, int hi); // lo..hi inclusive
private:
    quint32 s;
};

// Makes EventBlocks that look like a detector's: per channel a baseline with
// a fixed offset per DRS4 cell, noise, and pulses near the trigger point.
// A set of block variants is computed once per seed and configuration; the
// event stream rotates through them, so sending costs no per-sample work.
class WaveformGenerator
{
public:
    static constexpr int Variants = 128;
    static constexpr int BlockSize = Event::BlockSize;
    static constexpr int Channels = Event::Channels;
    static constexpr int Cells = Event::Cells;

    explicit WaveformGenerator(quint32 seed);

    // Block of event number index (0-based) with the given settings; shared,
    // so copying the result costs nothing.
    QByteArray block(qint64 index, const WaveConfig &config);

    // Fixed offset of a cell of a channel, as it appears in every sample.
    qint16 cellOffset(int channel, int cell) const { return offsets[channel][cell]; }

    // Signal minimum, average and maximum of a channel as a monitor reports
    // them, with a little read-to-read jitter from rng.
    struct Monitor {
        qint16 min = 0, avg = 0, max = 0;
    };
    Monitor monitor(const WaveConfig &config, Rng &rng) const;

    static int samplesPerNs(int samplingCode);

private:
    void regenerate(const WaveConfig &config);
    QByteArray makeVariant(int v, const WaveConfig &config, const QVector<float> &shape) const;

    quint32 seed;
    QVector<qint16> offsets[Channels];
    qint16 offsetMin[Channels];
    qint16 offsetMax[Channels];
    int offsetMean[Channels];
    QVector<qint16> noise; // roughly Gaussian, power-of-two length
    QList<QByteArray> variants;
    WaveConfig current;
    bool valid = false;

public:
    // Quiet mode: no noise and no pulses, every sample word equals its
    // cell's offset; start cells still vary from event to event.
    void setQuiet(bool on);
    bool isQuiet() const { return quiet; }

private:
    QByteArray quietBlock(qint64 index, const WaveConfig &config);

    bool quiet = false;
    QList<QByteArray> quietVariants;
    bool quietT0 = false;
};

#endif
