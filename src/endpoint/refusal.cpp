#include "endpoint/refusal.h"

#include "driver/wformat.h"

namespace vl {

namespace {

constexpr uint32_t kAudclnt = 0x88890000u;

} // namespace

const char* audclntName(uint32_t hr) {
    if ((hr & 0xFFFFFF00u) != kAudclnt) return nullptr;
    switch (hr & 0xFFu) {
    case 0x01:
        return "AUDCLNT_E_NOT_INITIALIZED";
    case 0x02:
        return "AUDCLNT_E_ALREADY_INITIALIZED";
    case 0x03:
        return "AUDCLNT_E_WRONG_ENDPOINT_TYPE";
    case 0x04:
        return "AUDCLNT_E_DEVICE_INVALIDATED";
    case 0x05:
        return "AUDCLNT_E_NOT_STOPPED";
    case 0x06:
        return "AUDCLNT_E_BUFFER_TOO_LARGE";
    case 0x07:
        return "AUDCLNT_E_OUT_OF_ORDER";
    case 0x08:
        return "AUDCLNT_E_UNSUPPORTED_FORMAT";
    case 0x09:
        return "AUDCLNT_E_INVALID_SIZE";
    case 0x0A:
        return "AUDCLNT_E_DEVICE_IN_USE";
    case 0x0B:
        return "AUDCLNT_E_BUFFER_OPERATION_PENDING";
    case 0x0C:
        return "AUDCLNT_E_THREAD_NOT_REGISTERED";
    case 0x0E:
        return "AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED";
    case 0x0F:
        return "AUDCLNT_E_ENDPOINT_CREATE_FAILED";
    case 0x10:
        return "AUDCLNT_E_SERVICE_NOT_RUNNING";
    case 0x11:
        return "AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED";
    case 0x12:
        return "AUDCLNT_E_EXCLUSIVE_MODE_ONLY";
    case 0x13:
        return "AUDCLNT_E_BUFDURATION_PERIOD_NOT_EQUAL";
    case 0x14:
        return "AUDCLNT_E_EVENTHANDLE_NOT_SET";
    case 0x15:
        return "AUDCLNT_E_INCORRECT_BUFFER_SIZE";
    case 0x16:
        return "AUDCLNT_E_BUFFER_SIZE_ERROR";
    case 0x17:
        return "AUDCLNT_E_CPUUSAGE_EXCEEDED";
    case 0x18:
        return "AUDCLNT_E_BUFFER_ERROR";
    case 0x19:
        return "AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED";
    case 0x20:
        return "AUDCLNT_E_INVALID_DEVICE_PERIOD";
    case 0x21:
        return "AUDCLNT_E_INVALID_STREAM_FLAG";
    case 0x26:
        return "AUDCLNT_E_RESOURCES_INVALIDATED";
    case 0x28:
        return "AUDCLNT_E_ENGINE_PERIODICITY_LOCKED";
    case 0x29:
        return "AUDCLNT_E_ENGINE_FORMAT_LOCKED";
    default:
        return nullptr;
    }
}

RefusalText refusalText(uint32_t hr) {
    RefusalText t;
    if (const char* name = audclntName(hr))
        formatBounded(t.text, sizeof t.text / sizeof *t.text, L"0x%X %S", hr, name);
    else
        formatBounded(t.text, sizeof t.text / sizeof *t.text, L"0x%X", hr);
    return t;
}

const char* refusalAdvice(uint32_t hr, bool exclusiveOnly) {
    switch (hr) {
    case kAudclnt | 0x0E:
        return "exclusive use not allowed: allow it in Properties, or use Automatic mode";
    case kAudclnt | 0x0A:
        return exclusiveOnly
                   ? "another program is using it: close that program, or use Automatic mode"
                   : "another program holds it exclusively: close that program, or choose "
                     "another device";
    case kAudclnt | 0x04:
        return "the device is gone: plug it in again, or choose another device";
    case kAudclnt | 0x28:
        return "another program holds the system mixer at another buffer size: use that one";
    case kAudclnt | 0x08:
        return "it does not take this sample rate: choose another";
    case kAudclnt | 0x13:
    case kAudclnt | 0x16:
    case kAudclnt | 0x19:
    case kAudclnt | 0x20:
        return "it does not take this buffer size: choose another";
    case kAudclnt | 0x10:
        return "the Windows Audio service is not running: start it, or restart the PC";
    default:
        return "Windows could not open it";
    }
}

} // namespace vl
