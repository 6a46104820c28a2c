// Endpoint discovery, sample rates and buffer sizes. (Not built yet: everything answers
// ASE_NotPresent.)
#include "driver/ASIOSrv.h"

ASIOBool ASIOSrv::init(void*) { return ASIOFalse; }
ASIOError ASIOSrv::getChannels(long*, long*) { return ASE_NotPresent; }
ASIOError ASIOSrv::getBufferSize(long*, long*, long*, long*) { return ASE_NotPresent; }
ASIOError ASIOSrv::canSampleRate(ASIOSampleRate) { return ASE_NotPresent; }
ASIOError ASIOSrv::getSampleRate(ASIOSampleRate*) { return ASE_NotPresent; }
ASIOError ASIOSrv::setSampleRate(ASIOSampleRate) { return ASE_NotPresent; }
uint32_t ASIOSrv::alignedFramesForDuration(IUnknown*, LONGLONG) { return 0; }
