// Buffers, exchange, start/stop and the streaming threads. (Not built yet: everything
// answers ASE_NotPresent.)
#include "driver/ASIOSrv.h"

ASIOError ASIOSrv::start() { return ASE_NotPresent; }
ASIOError ASIOSrv::stop() { return ASE_NotPresent; }
ASIOError ASIOSrv::getSamplePosition(ASIOSamples*, ASIOTimeStamp*) { return ASE_NotPresent; }
ASIOError ASIOSrv::createBuffers(ASIOBufferInfo*, long, long, ASIOCallbacks*) {
    return ASE_NotPresent;
}
ASIOError ASIOSrv::disposeBuffers() { return ASE_NotPresent; }
ASIOError ASIOSrv::outputReady() { return ASE_NotPresent; }
void ASIOSrv::signalBufferSwitch(ASIOTime*, bool, ASIOBool) {}
void ASIOSrv::copyRenderHalf(uint8_t, BYTE*) {}
void ASIOSrv::copyCaptureHalf(uint8_t, const BYTE*) {}
void ASIOSrv::copyRenderRange(uint32_t, uint32_t, BYTE*) {}
void ASIOSrv::copyCaptureRange(uint32_t, uint32_t, const BYTE*) {}
ASIOError ASIOSrv::ProcessData(uint32_t, IUnknown*, uint32_t, uint32_t) { return ASE_NotPresent; }
void ASIOSrv::stageCapture(IUnknown*, BYTE*, uint32_t, uint32_t*, uint32_t) {}
DWORD WINAPI ASIOSrv::eventDrivenThread(LPVOID) { return 0; }
DWORD WINAPI ASIOSrv::timerDrivenThread(LPVOID) { return 0; }
