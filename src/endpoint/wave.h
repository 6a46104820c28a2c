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
