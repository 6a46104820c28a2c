// Shared mode: streams through the system's audio engine, in its mix format and periods. Each
// direction's mode is decided once, by init, from the "StreamMode" setting and from what the
// endpoint grants; these are the few places that know how a shared stream differs.
#pragma once

#include "driver/ASIOSrv.h"
#include "endpoint/platform.h"

// Decides a direction's mode for a bound endpoint and logs it with its reason. refusal is
// what an exclusive stream got there (S_OK when it was granted or not asked). A shared
// direction takes the mix format's channels and rate, and 24-in-32 host samples. Returns
// false when the direction can never stream: exclusive mode is forbidden there and no shared
// stream opens either.
bool chooseStreamMode(ASIOSrv* self, IMMDevice* endpoint, int direction, StreamMode mode,
                      HRESULT refusal);

// What a shared stream gets on the endpoint: its format, its periods, and whether one opens
// at all (another program may hold the endpoint exclusively). S_OK when it does.
HRESULT probeShared(IMMDevice* endpoint, SharedEndpoint* out);

// start's second look, in Automatic mode, at a direction init found exclusive and whose
// exclusive stream is now refused as forbidden or in use (another program opened the endpoint
// since): true, logged, when it goes shared instead, which it can only as the host's buffers
// are: 24-in-32 samples, at most the mix format's channels, a rate the engine runs or converts,
// and a size that is one of the engine's periods at that rate.
bool turnShared(ASIOSrv* self, IMMDevice* endpoint, int direction, unsigned channels,
                HRESULT refusal);

// Opens a shared, event-driven stream of self->bufferFrames frames per period on an
// endpoint: IAudioClient3's period where the engine has low-latency periods, else the engine's
// own; at another rate than the engine's, through its converter (AUTOCONVERTPCM), which
// IAudioClient3 does not open. An engine held at another period by another stream refuses it
// (AUDCLNT_E_ENGINE_PERIODICITY_LOCKED): one switch per period needs the period asked for.
HRESULT openSharedStream(const ASIOSrv* self, IMMDevice* endpoint, int direction,
                         ComRef<IAudioClient>& client);

// Opens the event-driven stream of a device after a direction's first (or of what a
// playback device plays, a loopback stream), in the mode init chose for it, at a period its
// bridge takes whatever the host's buffer. Shared: the engine's mix format at the driver's
// rate (converted by the engine where it mixes at another), at the engine's own period.
// Exclusive: see openExclusiveExtra. *periodFrames: its packets' length; *latencyFrames: what
// it adds (shared, the engine's latency and a period; exclusive, the stream's latency, which
// is the period its buffer spans); *bufferFrames, when asked for: its buffer.
HRESULT openExtraStream(const ASIOSrv* self, const ASIOSrv::ExtraDevice& extra,
                        ComRef<IAudioClient>& client, uint32_t* periodFrames,
                        long* latencyFrames, uint32_t* bufferFrames = nullptr);

// The exclusive, event-driven stream of a device after the first: in its own sample type and
// channel count (extra.deviceType, extra.channels) at the driver's rate, with its default
// period as its buffer: the period its driver is made to run at, the one the engine would
// run it at shared, so that a device's events come no more often than they did shared. An
// endpoint that wants the buffer aligned is asked again, by a fresh client, for the aligned
// size it names.
HRESULT openExclusiveExtra(const ASIOSrv* self, const ASIOSrv::ExtraDevice& extra,
                           IMMDevice* endpoint, ComRef<IAudioClient>& client);

// The format a shared direction streams with: the engine's mix format at the driver's rate,
// which the engine converts where it mixes at another.
WAVEFORMATEXTENSIBLE sharedFormat(const ASIOSrv* self, int direction);

// The periods a shared direction offers at the driver's rate (see vl::periodsAtRate).
vl::EnginePeriods sharedPeriods(const ASIOSrv* self, int direction);

// Whether a direction runs shared (bound, and init chose shared mode for it).
inline bool streamsShared(const ASIOSrv* self, int direction) {
    return self->endpointId[direction] && self->shared[direction];
}

// Narrows the sizes getBufferSize offers to the periods every shared direction takes: the
// minimum and maximum to the nearest such period within them (exclusive directions already
// set them; 0 and 0 when none did), the preferred size to the one nearest the user's length
// (preferredMs, 0: the engine's default period). *granularity comes in as the step of the
// exclusive directions' sizes from *minSize (0: no step), and leaves as the step between the
// sizes both take, or 0 and the preferred size alone where they have no common step. Nothing
// changes without a shared direction.
void limitToSharedPeriods(const ASIOSrv* self, DWORD preferredMs, long* minSize, long* maxSize,
                          long* preferredSize, long* granularity);
