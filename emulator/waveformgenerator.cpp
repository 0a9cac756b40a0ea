#include "waveformgenerator.h"

#include "link/registermap.h"

#include <QtEndian>
#include <algorithm>
#include <cmath>

namespace {

constexpr int NoiseLength = 8192; // power of two
constexpr int NaturalAmplitudeMin = 300;
constexpr int NaturalAmplitudeMax = 1500;
constexpr int CrossingMargin = 24; // above the noise peaks

qint16 clamp16(int v)
{
    return qint16(std::clamp(v, -32768, 32767));
}

// The numbers of block variant v; the first one is its start cell.
Rng variantRng(quint32 seed, int v)
{
    return Rng(seed ^ (quint32(v + 1) * 0x85EBCA6Bu));
}

} // namespace

Rng::Rng(quint32 seed)
    : s(seed ? seed : 0x9E3779B9u)
{
    // Spread nearby seeds apart.
    for (int i = 0; i < 4; ++i)
        next();
}

quint32 Rng::next()
{
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
}

int Rng::range(int lo, int hi)
{
    return lo + int(next() % quint32(hi - lo + 1));
}

WaveformGenerator::WaveformGenerator(quint32 seed)
    : seed(seed)
{
    Rng rng(seed * 2654435761u + 12345u);
    for (int c = 0; c < Channels; ++c) {
        const int base = rng.range(-150, 150);
        const double phase = rng.range(0, 628) / 100.0;
        const int periods = 1 + c % 4;
        offsets[c].resize(Cells);
        int lo = 32767, hi = -32768;
        qint64 sum = 0;
        for (int cell = 0; cell < Cells; ++cell) {
            const int v = base + int(std::lround(12.0 * std::sin(2 * M_PI * periods * cell / Cells + phase)))
                + rng.range(-20, 20);
            offsets[c][cell] = qint16(v);
            lo = std::min(lo, v);
            hi = std::max(hi, v);
            sum += v;
        }
        offsetMin[c] = qint16(lo);
        offsetMax[c] = qint16(hi);
        offsetMean[c] = int(sum / Cells);
    }
    // Sum of four uniforms: close enough to Gaussian, sigma about 3 counts.
    noise.resize(NoiseLength);
    for (int i = 0; i < NoiseLength; ++i) {
        int v = 0;
        for (int j = 0; j < 4; ++j)
            v += rng.range(-5, 5);
        noise[i] = qint16(v);
    }
}

int WaveformGenerator::samplesPerNs(int samplingCode)
{
    return Reg::SamplesPerNs[samplingCode & Reg::SamplingCodeMask];
}

QByteArray WaveformGenerator::block(qint64 index, const WaveConfig &config)
{
    if (quiet)
        return quietBlock(index, config);
    if (!valid || config != current)
        regenerate(config);
    return variants.at(int(index % Variants));
}

void WaveformGenerator::regenerate(const WaveConfig &config)
{
    // Pulse shape in samples: fast rise, exponential decay, peak 1.
    const int spn = samplesPerNs(config.samplingCode);
    const double rise = 1.5 * spn;
    const double decay = 12.0 * spn;
    const int length = std::min(Cells, int(8 * decay));
    QVector<float> shape(length);
    double peak = 0;
    for (int t = 0; t < length; ++t) {
        const double v = (1 - std::exp(-t / rise)) * std::exp(-t / decay);
        shape[t] = float(v);
        peak = std::max(peak, v);
    }
    for (float &v : shape)
        v = float(v / peak);

    variants.clear();
    variants.reserve(Variants);
    for (int v = 0; v < Variants; ++v)
        variants << makeVariant(v, config, shape);
    current = config;
    valid = true;
}

QByteArray WaveformGenerator::makeVariant(int v, const WaveConfig &config, const QVector<float> &shape) const
{
    Rng rng = variantRng(seed, v);
    const int startCell = rng.range(0, Cells - 1);
    const int spn = samplesPerNs(config.samplingCode);
    const int sign = config.falling() ? -1 : 1;
    const int peakAt = int(std::max_element(shape.begin(), shape.end()) - shape.begin());

    // A longer trigger delay moves the pulse towards the start of the window.
    int triggerPos = 600 - int(std::lround(config.delay * Reg::TriggerDelayStepNs * spn));
    triggerPos = std::clamp(triggerPos, 30, Cells - 60) + rng.range(0, 7);

    QByteArray out(BlockSize, Qt::Uninitialized);
    uchar *p = reinterpret_cast<uchar *>(out.data());
    std::copy(Event::Header, Event::Header + Event::HeaderSize, p);

    for (int c = 0; c < Channels; ++c) {
        uchar *words = p + Event::wordOffset(c, 0);
        int amplitude = 0;
        const int pulsePos = triggerPos + rng.range(-2, 2);
        const bool isTrigger = config.channelTrigger() && config.triggerChannel() == c;
        if (isTrigger) {
            amplitude = rng.range(NaturalAmplitudeMin, NaturalAmplitudeMax);
            // The pulse must cross the threshold in the direction of the edge.
            const int peakWord = std::min(pulsePos + peakAt, Cells - 1);
            const int peakCell = Event::cellOf(startCell, peakWord);
            const int needed = sign * (config.threshold - offsets[c][peakCell]) + CrossingMargin;
            amplitude = std::max(amplitude, needed);
        } else {
            const int chance = config.channelTrigger() ? 3 : 2;
            if (rng.range(0, chance - 1) == 0)
                amplitude = rng.range(100, 800);
            else
                rng.next();
        }
        const int noiseStart = int(rng.next() & (NoiseLength - 1));

        int k = 0;
        if (!config.useT0) {
            qToBigEndian<quint16>(quint16(startCell), words);
            k = 1;
        }
        for (; k < Cells; ++k) {
            const int cell = Event::cellOf(startCell, k);
            int value = offsets[c][cell] + noise[(noiseStart + k) & (NoiseLength - 1)];
            const int t = k - pulsePos;
            if (amplitude && t >= 0 && t < shape.size())
                value += sign * int(std::lround(amplitude * shape[t]));
            qToBigEndian<qint16>(clamp16(value), words + 2 * k);
        }
    }
    return out;
}

WaveformGenerator::Monitor WaveformGenerator::monitor(const WaveConfig &config, Rng &rng) const
{
    Monitor m;
    if (!config.channelTrigger())
        return m;
    const int c = config.triggerChannel();
    const int lo = offsetMin[c] - 10 + rng.range(-3, 3);
    const int hi = offsetMax[c] + 10 + rng.range(-3, 3);
    const int pulse = NaturalAmplitudeMax - rng.range(0, 200);
    const int avg = offsetMean[c] + rng.range(-2, 2);
    if (config.falling()) {
        m.min = clamp16(lo - pulse);
        m.max = clamp16(hi);
        m.avg = clamp16(avg - 12);
    } else {
        m.min = clamp16(lo);
        m.max = clamp16(hi + pulse);
        m.avg = clamp16(avg + 12);
    }
    return m;
}

void WaveformGenerator::setQuiet(bool on)
{
    quiet = on;
}

QByteArray WaveformGenerator::quietBlock(qint64 index, const WaveConfig &config)
{
    if (quietVariants.isEmpty() || quietT0 != config.useT0) {
        quietVariants.clear();
        quietT0 = config.useT0;
        for (int v = 0; v < Variants; ++v) {
            // The same start cells as the noisy variants.
            Rng rng = variantRng(seed, v);
            const int startCell = rng.range(0, Cells - 1);
            QByteArray out(BlockSize, Qt::Uninitialized);
            uchar *p = reinterpret_cast<uchar *>(out.data());
            std::copy(Event::Header, Event::Header + Event::HeaderSize, p);
            for (int c = 0; c < Channels; ++c) {
                uchar *words = p + Event::wordOffset(c, 0);
                int k = 0;
                if (!quietT0) {
                    qToBigEndian<quint16>(quint16(startCell), words);
                    k = 1;
                }
                for (; k < Cells; ++k)
                    qToBigEndian<qint16>(offsets[c][Event::cellOf(startCell, k)], words + 2 * k);
            }
            quietVariants << out;
        }
    }
    return quietVariants.at(int(index % Variants));
}
