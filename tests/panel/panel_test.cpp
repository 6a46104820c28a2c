// The control panel as a user meets it: controlPanel opens the dialog on a thread of its
// own, as a host's call would, and the test finds the dialog from its main thread and
// drives it with keyboard and mouse input, then looks at what was stored, what the host
// was told and what the log says. The dialog comes from the built DLL's resources.
#include "driver/ASIOSrv.h"
#include "panel/resource.h"
#include "sim/sim.h"

#include <audioclient.h>
#include <commctrl.h>
#include <mmdeviceapi.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// A path given by the environment as a Unix path, as Wine's drive Z: shows it.
std::wstring pathFromEnvironment(const wchar_t* name) {
    wchar_t unixPath[MAX_PATH] = {};
    if (!GetEnvironmentVariableW(name, unixPath, MAX_PATH)) return {};
    std::wstring path = std::wstring(L"Z:") + unixPath;
    for (auto& c : path)
        if (c == L'/') c = L'\\';
    return path;
}

struct HostMessage {
    long selector;
    long value;
    bool operator==(const HostMessage& o) const {
        return selector == o.selector && value == o.value;
    }
};
std::vector<HostMessage> hostMessages;

long recordAsioMessage(long selector, long value, void*, double*) {
    hostMessages.push_back({selector, value});
    return selector == kAsioBufferSizeChange ? 1 : 0;
}

constexpr wchar_t kValue[] = L"DefaultSizeInMS";

void storeSize(DWORD ms) {
    RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, kValue, REG_DWORD, &ms, sizeof ms);
}

// The stored size, or -1 when there is none.
long storedSize() {
    DWORD ms = 0, size = sizeof ms;
    return RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, kValue, RRF_RT_DWORD, nullptr, &ms,
                        &size) == ERROR_SUCCESS
               ? static_cast<long>(ms)
               : -1;
}

std::wstring windowText(HWND w) {
    wchar_t text[256] = {};
    GetWindowTextW(w, text, 256);
    return text;
}

std::wstring sizeLabel(int ms) {
    return L"Buffer size (in milliseconds): " + std::to_wstring(ms) + L"ms";
}

std::string readLog() {
    std::ifstream f("I:\\VLASIOLog.txt", std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

wchar_t kRegisteredName[] = L"Studio Out";

class ControlPanel : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        sim::install();
        std::wstring dll = pathFromEnvironment(L"VLASIO_DLL");
        moduleHandle = LoadLibraryExW(dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        DWORD on = 1;
        RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"OutputLogToFile", REG_DWORD, &on,
                        sizeof on);
    }

    void SetUp() override {
        ASSERT_NE(moduleHandle, nullptr) << "the built DLL cannot be loaded";
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, kValue);
        for (const wchar_t* choice : kEndpointSetting)
            RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, choice);
        sim::configure(sim::defaultRender(), sim::defaultCapture());
        hostMessages.clear();
        registeredDriverName = kRegisteredName;
        logStart = readLog().size();
        driver = new ASIOSrv(nullptr);
        driver->innerAddRef();
    }

    void TearDown() override {
        if (panelThread.joinable()) {
            if (IsWindow(dialog)) PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
            panelThread.join();
        }
        if (driver) driver->innerRelease();
        registeredDriverName = nullptr;
    }

    // What the host would see with its callbacks stored and, when streaming, a device open.
    void host(bool withAsioMessage, bool streaming) {
        driver->callbacks.asioMessage = withAsioMessage ? recordAsioMessage : nullptr;
        // The simulated render endpoint stands for the open device, at 48 kHz.
        driver->sampleRate = 48000;
        // The enumerator init keeps, which the panel lists the endpoints with.
        IMMDeviceEnumerator* enumerator = nullptr;
        CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                         IID_PPV_ARGS(&enumerator));
        ASSERT_NE(enumerator, nullptr);
        driver->deviceEnumerator = enumerator;
        if (!streaming) return;
        IMMDevice* device = nullptr;
        enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device);
        driver->device[kRender] = device;
    }

    // Calls controlPanel on a thread of its own and waits for its dialog to show.
    void open() {
        panelThread = std::thread([this] {
            panelThreadId = GetCurrentThreadId();
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            panelResult = driver->controlPanel();
            CoUninitialize();
            panelDone = true;
        });
        for (int i = 0; i < 1000 && !dialog; ++i) {
            Sleep(10);
            EnumThreadWindows(
                panelThreadId,
                [](HWND w, LPARAM found) {
                    if (!IsWindowVisible(w) || windowText(w) != L"ASIO Configuration") return TRUE;
                    *reinterpret_cast<HWND*>(found) = w;
                    return FALSE;
                },
                reinterpret_cast<LPARAM>(&dialog));
        }
        ASSERT_NE(dialog, nullptr) << "the dialog did not open";
        slider = GetDlgItem(dialog, IDC_BUFFER_SIZE_SLIDER);
        label = GetDlgItem(dialog, IDC_BUFFER_SIZE_LABEL);
    }

    // Waits for the dialog to close and controlPanel to return.
    void waitClosed() {
        for (int i = 0; i < 500 && !panelDone; ++i)
            Sleep(10);
        ASSERT_TRUE(panelDone) << "the dialog did not close";
        panelThread.join();
        EXPECT_EQ(panelResult, ASE_OK);
        EXPECT_EQ(panelDriverName, nullptr);
    }

    // The trackbar's keyboard input; it ends each movement when the key is released.
    void keyDown(UINT vk) { SendMessageW(slider, WM_KEYDOWN, vk, 1); }
    void keyUp(UINT vk) { SendMessageW(slider, WM_KEYUP, vk, 0xC0000001); }
    void key(UINT vk) {
        keyDown(vk);
        keyUp(vk);
    }
    // Keys for the dialog itself go through its message loop, as typed ones do.
    void dialogKey(UINT vk) { PostMessageW(slider, WM_KEYDOWN, vk, 1); }
    int position() { return static_cast<int>(SendMessageW(slider, TBM_GETPOS, 0, 0)); }

    // The log lines this test's driver wrote, complete once it is released.
    std::string releaseAndReadLog() {
        driver->innerRelease();
        driver = nullptr;
        return readLog().substr(logStart);
    }

    ASIOSrv* driver = nullptr;
    std::thread panelThread;
    std::atomic<DWORD> panelThreadId{0};
    std::atomic<bool> panelDone{false};
    ASIOError panelResult = -1;
    HWND dialog = nullptr, slider = nullptr, label = nullptr;
    size_t logStart = 0;
};

void saveScreenshot(HWND window, const std::wstring& path) {
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Sleep(300);
    RECT r;
    GetWindowRect(window, &r);
    int w = r.right - r.left, h = r.bottom - r.top;
    BITMAPINFOHEADER info = {sizeof info, w, h, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS,
                                      &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    DWORD imageBytes = ((w * 3 + 3) & ~3) * h;
    BITMAPFILEHEADER file = {0x4D42, static_cast<DWORD>(sizeof file + sizeof info + imageBytes), 0,
                             0, sizeof file + sizeof info};
    if (FILE* out = _wfopen(path.c_str(), L"wb")) {
        fwrite(&file, sizeof file, 1, out);
        fwrite(&info, sizeof info, 1, out);
        fwrite(bits, imageBytes, 1, out);
        fclose(out);
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

TEST_F(ControlPanel, OpensAsDesignedAndChangesNothingByItself) {
    host(true, true);
    open();
    EXPECT_EQ(panelDriverName, registeredDriverName);

    // The built DLL's template: ten controls in order, in a dialog of 239 x 153 units.
    const struct {
        const wchar_t* cls;
        int id;
    } controls[] = {{L"Button", IDOK},
                    {L"Static", -1},
                    {L"Static", -1},
                    {L"ComboBox", IDC_OUTPUT_DEVICE},
                    {L"Static", -1},
                    {L"ComboBox", IDC_INPUT_DEVICE},
                    {L"msctls_trackbar32", IDC_BUFFER_SIZE_SLIDER},
                    {L"Static", IDC_DRIVER_NAME},
                    {L"Static", IDC_BUFFER_SIZE_LABEL},
                    {L"Static", -1}};
    HWND child = GetWindow(dialog, GW_CHILD);
    for (const auto& c : controls) {
        ASSERT_NE(child, nullptr);
        wchar_t cls[64] = {};
        GetClassNameW(child, cls, 64);
        EXPECT_EQ(lstrcmpiW(cls, c.cls), 0) << "class " << std::wstring(cls);
        EXPECT_EQ(GetDlgCtrlID(child), c.id);
        child = GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_EQ(child, nullptr);
    RECT size = {0, 0, 239, 153}, client;
    MapDialogRect(dialog, &size);
    GetClientRect(dialog, &client);
    EXPECT_TRUE(EqualRect(&size, &client));

    // The logo: bitmap 102, 78 x 29 at 8 bits per pixel with a palette.
    HWND logo = GetWindow(GetDlgItem(dialog, IDOK), GW_HWNDNEXT);
    BITMAP shown = {};
    GetObjectW(reinterpret_cast<HBITMAP>(SendMessageW(logo, STM_GETIMAGE, IMAGE_BITMAP, 0)),
               sizeof shown, &shown);
    EXPECT_EQ(shown.bmWidth, 78);
    EXPECT_EQ(shown.bmHeight, 29);
    HRSRC resource = FindResourceW(moduleHandle, MAKEINTRESOURCEW(IDB_LOGO), RT_BITMAP);
    ASSERT_NE(resource, nullptr);
    auto* header =
        static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(moduleHandle, resource)));
    EXPECT_EQ(header->biBitCount, 8);
    EXPECT_EQ(header->biCompression, static_cast<DWORD>(BI_RGB));

    // With nothing stored the trackbar starts at 3 and the lists at the system default.
    for (int list : {IDC_OUTPUT_DEVICE, IDC_INPUT_DEVICE})
        EXPECT_EQ(SendDlgItemMessageW(dialog, list, CB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(windowText(GetDlgItem(dialog, IDC_DRIVER_NAME)), kRegisteredName);
    EXPECT_EQ(position(), 3);
    EXPECT_EQ(windowText(label), sizeLabel(3));

    std::wstring shot = pathFromEnvironment(L"VLASIO_SCREENSHOT");
    if (!shot.empty()) saveScreenshot(dialog, shot);

    SendMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    waitClosed();
    EXPECT_EQ(storedSize(), -1);
    EXPECT_TRUE(hostMessages.empty());
    EXPECT_NE(releaseAndReadLog().find("ASIOSrv:::\tsize: 0 => 0 (asioMessage=0x"),
              std::string::npos);
}

// Two endpoints a direction. The lists show the stored choice (the default when it is not
// active), store each new one at once, and after the dialog the host is asked for a reset
// before it hears of the new size.
TEST_F(ControlPanel, ListsChooseTheEndpointsAndTheHostIsAskedToReset) {
    sim::EndpointConfig out[2] = {sim::defaultRender(), sim::defaultRender()};
    sim::EndpointConfig in[2] = {sim::defaultCapture(), sim::defaultCapture()};
    out[1].id = L"{0.0.0.00000000}.{headset-out}";
    out[1].friendlyName = L"Headset Earphone (USB)";
    in[1].id = L"{0.0.1.00000000}.{headset-in}";
    in[1].friendlyName = L"Headset Microphone (USB)";
    sim::configure({out[0], out[1]}, {in[0], in[1]});
    RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"RenderEndpoint", REG_SZ, out[1].id.c_str(),
                    DWORD((out[1].id.size() + 1) * sizeof(wchar_t)));
    RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"CaptureEndpoint", REG_SZ, L"{gone}",
                    sizeof L"{gone}");
    storeSize(10);
    host(true, true);
    open();

    const struct {
        int list;
        const wchar_t* setting;
        LRESULT shown;             // selected as the dialog opens
        UINT key;                  // then one key press moves the selection to
        const std::wstring stored; // and the setting holds ("" when removed)
        const wchar_t* names[3];
    } rows[] = {
        {IDC_OUTPUT_DEVICE, L"RenderEndpoint", 2, VK_UP, out[0].id,
         {L"System default", L"Speakers (Simulated HD Audio)", L"Headset Earphone (USB)"}},
        {IDC_INPUT_DEVICE, L"CaptureEndpoint", 0, VK_DOWN, in[0].id,
         {L"System default", L"Microphone (Simulated HD Audio)", L"Headset Microphone (USB)"}},
    };
    for (const auto& r : rows) {
        HWND list = GetDlgItem(dialog, r.list);
        ASSERT_EQ(SendMessageW(list, CB_GETCOUNT, 0, 0), 3);
        for (int i = 0; i < 3; ++i) {
            wchar_t text[128] = {};
            SendMessageW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
            EXPECT_EQ(std::wstring(text), r.names[i]);
        }
        EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), r.shown);
        SendMessageW(list, WM_KEYDOWN, r.key, 1);
        wchar_t stored[128] = {};
        DWORD bytes = sizeof stored;
        RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, r.setting, RRF_RT_REG_SZ, nullptr, stored,
                     &bytes);
        EXPECT_EQ(stored, r.stored) << "stored at once";
    }
    // Back to the system default: the choice is removed.
    SendDlgItemMessageW(dialog, IDC_INPUT_DEVICE, WM_KEYDOWN, VK_HOME, 1);
    DWORD bytes = 0;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, L"CaptureEndpoint", RRF_RT_ANY,
                           nullptr, nullptr, &bytes),
              ERROR_FILE_NOT_FOUND);
    key(VK_RIGHT);
    dialogKey(VK_ESCAPE);
    waitClosed();
    std::vector<HostMessage> expected = {
        {kAsioResetRequest, 0}, {kAsioBufferSizeChange, 544}, {kAsioLatenciesChanged, 0}};
    EXPECT_EQ(hostMessages, expected);
}

TEST_F(ControlPanel, OutOfRangeValueShowsAsStoredAndMovesWithinRange) {
    storeSize(100);
    open();
    EXPECT_EQ(position(), 30);
    EXPECT_EQ(windowText(label), sizeLabel(100));
    key(VK_LEFT);
    EXPECT_EQ(windowText(label), sizeLabel(29));
    EXPECT_EQ(storedSize(), 29);
    dialogKey(VK_RETURN);
    waitClosed();
}

TEST_F(ControlPanel, MovementIsStoredAtItsEndAndCancelKeepsIt) {
    storeSize(10);
    host(true, true);
    open();
    EXPECT_EQ(windowText(label), sizeLabel(10));
    for (int expected : {15, 20}) {
        keyDown(VK_NEXT);
        EXPECT_EQ(windowText(label), sizeLabel(expected));
        EXPECT_EQ(storedSize(), expected - 5) << "stored before the key was released";
        keyUp(VK_NEXT);
        EXPECT_EQ(storedSize(), expected);
    }
    dialogKey(VK_ESCAPE);
    waitClosed();
    EXPECT_EQ(storedSize(), 20);

    // 20 ms at 48 kHz: 960 frames, which the endpoint's 128-byte alignment takes as they are.
    std::vector<HostMessage> expected = {{kAsioBufferSizeChange, 960}, {kAsioLatenciesChanged, 0}};
    EXPECT_EQ(hostMessages, expected);
    std::string log = releaseAndReadLog();
    EXPECT_NE(log.find("ASIOSrv:::\tdefault size changed: 10 => 20 (0x"), std::string::npos);
    EXPECT_NE(log.find("ASIOSrv:::\tasioMessage(BufferSizeChange, 960) returned 1"),
              std::string::npos);
}

TEST_F(ControlPanel, EndpointHeldByTheStreamStillGetsTheNewSize) {
    storeSize(10);
    host(true, true);
    // The running stream holds the endpoint exclusively, so a probe would be refused: the
    // size comes from the stream's format, 16-bit stereo, aligned to 128 bytes.
    IAudioClient* stream = nullptr;
    static_cast<IMMDevice*>(driver->device[kRender])
        ->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&stream));
    ASSERT_NE(stream, nullptr);
    WAVEFORMATEXTENSIBLE format = sim::pcmFormat(48000, 2, 16);
    ASSERT_EQ(stream->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                 100000, 100000, &format.Format, nullptr),
              S_OK);
    open();
    key(VK_RIGHT);
    dialogKey(VK_ESCAPE);
    waitClosed();
    stream->Release();
    EXPECT_EQ(storedSize(), 11);
    // 11 ms: 528 frames, 2112 bytes, aligned up to 544 frames.
    std::vector<HostMessage> expected = {{kAsioBufferSizeChange, 544}, {kAsioLatenciesChanged, 0}};
    EXPECT_EQ(hostMessages, expected);
}

TEST_F(ControlPanel, DraggingTracksTheLabelAndStoresOnRelease) {
    host(true, false);
    open();
    RECT thumb, channel;
    SendMessageW(slider, TBM_GETTHUMBRECT, 0, reinterpret_cast<LPARAM>(&thumb));
    SendMessageW(slider, TBM_GETCHANNELRECT, 0, reinterpret_cast<LPARAM>(&channel));
    int y = (thumb.top + thumb.bottom) / 2;
    SendMessageW(slider, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM((thumb.left + thumb.right) / 2, y));
    SendMessageW(slider, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(channel.right + 20, y));
    EXPECT_EQ(windowText(label), sizeLabel(30));
    SendMessageW(slider, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(channel.left, y));
    EXPECT_EQ(windowText(label), sizeLabel(2));
    EXPECT_EQ(storedSize(), -1) << "stored while dragging";
    SendMessageW(slider, WM_LBUTTONUP, 0, MAKELPARAM(channel.left, y));
    EXPECT_EQ(storedSize(), 2);
    dialogKey(VK_RETURN);
    waitClosed();

    // Not streaming: the change is only logged.
    EXPECT_TRUE(hostMessages.empty());
    EXPECT_NE(releaseAndReadLog().find("ASIOSrv:::\tsize: 0 => 2 (asioMessage=0x"),
              std::string::npos);
}

TEST_F(ControlPanel, HomeAndEndStoreTheLimitsButLeaveTheLabel) {
    storeSize(10);
    host(false, true);
    open();
    keyDown(VK_END);
    EXPECT_EQ(position(), 30);
    EXPECT_EQ(storedSize(), 10);
    keyUp(VK_END);
    EXPECT_EQ(storedSize(), 30);
    key(VK_HOME);
    EXPECT_EQ(position(), 2);
    EXPECT_EQ(storedSize(), 2);
    EXPECT_EQ(windowText(label), sizeLabel(10));
    PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    waitClosed();

    // Without the host's asioMessage the change is only logged.
    EXPECT_TRUE(hostMessages.empty());
    EXPECT_NE(
        releaseAndReadLog().find("ASIOSrv:::\tsize: 10 => 2 (asioMessage=0x0) pDeviceUnk : 0x"),
        std::string::npos);
}

TEST_F(ControlPanel, MovingAwayAndBackTellsTheHostNothing) {
    storeSize(10);
    host(true, true);
    open();
    key(VK_RIGHT);
    EXPECT_EQ(storedSize(), 11);
    key(VK_LEFT);
    EXPECT_EQ(storedSize(), 10);
    dialogKey(VK_RETURN);
    waitClosed();
    EXPECT_TRUE(hostMessages.empty());
}

TEST_F(ControlPanel, WithoutRegisteredNameNothingIsReadOrStored) {
    registeredDriverName = nullptr;
    storeSize(10);
    host(true, true);
    open();
    EXPECT_EQ(panelDriverName, nullptr);
    EXPECT_EQ(windowText(GetDlgItem(dialog, IDC_DRIVER_NAME)), L"Static");
    EXPECT_EQ(position(), 3);
    key(VK_END);
    key(VK_LEFT);
    EXPECT_EQ(windowText(label), sizeLabel(29));
    dialogKey(VK_ESCAPE);
    waitClosed();
    EXPECT_EQ(storedSize(), 10);
    EXPECT_TRUE(hostMessages.empty());
}

} // namespace
