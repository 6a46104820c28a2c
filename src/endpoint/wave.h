// Windows side of the format arithmetic: a StreamFormat as the platform's format record.
#pragma once

#include "endpoint/formats.h"

#include <windows.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>

inline WAVEFORMATEXTENSIBLE toWaveFormat(const vl::StreamFormat& f) {
    WAVEFORMATEXTENSIBLE w = {};
    w.Format.wFormatTag = f.formatTag;
    w.Format.nChannels = f.channels;
    w.Format.nSamplesPerSec = f.samplesPerSec;
    w.Format.nAvgBytesPerSec = f.avgBytesPerSec;
    w.Format.nBlockAlign = f.blockAlign;
    w.Format.wBitsPerSample = f.bitsPerSample;
    w.Format.cbSize = f.cbSize;
    if (f.formatTag == WAVE_FORMAT_EXTENSIBLE) {
        w.Samples.wValidBitsPerSample = f.validBitsPerSample;
        w.dwChannelMask = f.channelMask;
        w.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    }
    return w;
}

// The exclusive-mode stream format of a direction, for start. False when the channel count
// has no speaker mask (0, 3, 5, 7, more than 8): that direction cannot be opened.
inline bool makeStreamFormat(int32_t sampleType, uint16_t channels, double sampleRate,
                             WAVEFORMATEXTENSIBLE* out) {
    vl::StreamFormat f = vl::streamFormat(sampleType, channels, sampleRate);
    if (f.channelMask == 0) return false;
    *out = toWaveFormat(f);
    return true;
}
