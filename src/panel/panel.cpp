// The buffer-size control panel: a modal dialog whose trackbar sets "DefaultSizeInMS", the
// preferred buffer length in milliseconds. The value is stored each time the user finishes
// a movement; OK and Cancel only close the dialog. Afterwards a streaming host is told of a
// change through asioMessage.
#include "driver/ASIOSrv.h"
#include "driver/log.h"
#include "driver/wformat.h"
#include "endpoint/formats.h"
#include "panel/resource.h"

#include <commctrl.h>

namespace {

constexpr wchar_t kDefaultSizeValue[] = L"DefaultSizeInMS";
constexpr int kMinSizeMs = 2;
constexpr int kMaxSizeMs = 30;

// "DefaultSizeInMS", or fallback when it cannot be read.
DWORD readDefaultSize(DWORD fallback) {
    DWORD value = 0;
    return readSetting(kDefaultSizeValue, RRF_RT_DWORD, &value) == ERROR_SUCCESS ? value
                                                                                 : fallback;
}

void showSize(HWND dialog, int value) {
    wchar_t text[64];
    vl::formatBounded(text, 64, L"Buffer size (in milliseconds): %dms", value);
    SetWindowTextW(GetDlgItem(dialog, IDC_BUFFER_SIZE_LABEL), text);
}

int trackbarPosition(HWND dialog) {
    return static_cast<int>(
        SendMessageW(GetDlgItem(dialog, IDC_BUFFER_SIZE_SLIDER), TBM_GETPOS, 0, 0));
}

INT_PTR CALLBACK controlPanelDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    int value = 3;
    switch (message) {
    case WM_INITDIALOG: {
        // Without a registered name the dialog neither shows nor stores a setting.
        if (panelDriverName) {
            SetWindowTextW(GetDlgItem(dialog, IDC_DRIVER_NAME), panelDriverName);
            value = static_cast<int>(readDefaultSize(static_cast<DWORD>(value)));
        }
        HWND slider = GetDlgItem(dialog, IDC_BUFFER_SIZE_SLIDER);
        SendMessageW(slider, TBM_SETRANGE, TRUE, MAKELPARAM(kMinSizeMs, kMaxSizeMs));
        SendMessageW(slider, TBM_SETPOS, TRUE, value);
        // The label shows the stored value even where the trackbar clamps it.
        showSize(dialog, value);
        return FALSE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    case WM_HSCROLL:
        switch (LOWORD(wParam)) {
        case TB_LINEUP:
        case TB_LINEDOWN:
        case TB_PAGEUP:
        case TB_PAGEDOWN:
            showSize(dialog, trackbarPosition(dialog));
            break;
        case TB_THUMBPOSITION:
        case TB_THUMBTRACK:
            showSize(dialog, HIWORD(wParam));
            break;
        case TB_ENDTRACK:
            // Stored at the end of every movement, so Cancel does not undo it.
            value = trackbarPosition(dialog);
            if (panelDriverName) {
                DWORD stored = static_cast<DWORD>(value);
                RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, kDefaultSizeValue, REG_DWORD,
                                &stored, sizeof stored);
            }
            break;
        default: // TB_TOP and TB_BOTTOM leave the label as it was
            break;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

} // namespace

ASIOError ASIOSrv::controlPanel() {
    writeLogLine(this, L"ASIOSrv::controlPanel...");
    DWORD before = readDefaultSize(0);
    HWND owner = GetActiveWindow();

    // The host may never have initialised the common controls.
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);

    panelDriverName = registeredDriverName;
    DialogBoxParamW(moduleHandle, MAKEINTRESOURCEW(IDD_CONTROL_PANEL), owner,
                    controlPanelDialogProc, 0);
    panelDriverName = nullptr;

    DWORD after = readDefaultSize(0);
    auto asioMessage = callbacks.asioMessage;
    if (after == before || !asioMessage || (!device[kRender] && !device[kCapture])) {
        logMessage(this, L"ASIOSrv:::\tsize: %d => %d (asioMessage=0x%X) pDeviceUnk : 0x%X 0x%X",
                   before, after, low32(reinterpret_cast<void*>(asioMessage)),
                   low32(device[kRender]), low32(device[kCapture]));
        return ASE_OK;
    }

    logMessage(this, L"ASIOSrv:::\tdefault size changed: %d => %d (0x%X 0x%X)", before, after,
               low32(device[kRender]), low32(device[kCapture]));
    // The running stream holds its endpoints, which refuse a probe: the size is computed from
    // the stream's own rate and frame widths, aligned as the endpoints align buffers.
    uint32_t frameBytes[2] = {};
    for (int d = kRender; d <= kCapture; ++d)
        if (device[d])
            frameBytes[d] = (sampleType[d] == ASIOSTInt32LSB ? 4u : 2u) * channelCount[d];
    uint32_t frames = vl::streamFramesForDuration(
        static_cast<int64_t>(static_cast<uint64_t>(after) * 10000), vl::truncatedRate(sampleRate),
        frameBytes[kRender], frameBytes[kCapture]);
    if (frames != 0) {
        long r = asioMessage(kAsioBufferSizeChange, static_cast<long>(frames), nullptr, nullptr);
        logMessage(this, L"ASIOSrv:::\tasioMessage(BufferSizeChange, %d) returned %d", frames, r);
    }
    asioMessage(kAsioLatenciesChanged, 0, nullptr, nullptr);
    return ASE_OK;
}
