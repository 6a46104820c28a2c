// The control panel as a user meets it: controlPanel shows the dialog of the built DLL on a
// thread of its own, as a host's call would, and the test drives it with keyboard and mouse
// input, then looks at what was stored, what the host was told and what the log says.
#include "driver/ASIOSrv.h"
#include "panel/resource.h"
#include "sim/sim.h"

#include <audioclient.h>
#include <commctrl.h>
#include <mmdeviceapi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <initializer_list>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using Messages = std::vector<std::pair<long, long>>; // selector, value
Messages hostMessages;

long recordAsioMessage(long selector, long value, void*, double*) {
    hostMessages.emplace_back(selector, value);
    return selector == kAsioBufferSizeChange ? 1 : 0;
}

void storeNumber(const wchar_t* name, DWORD value) {
    RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, name, REG_DWORD, &value, sizeof value);
}

// A stored setting as text: the number, the endpoint ID, or "<none>".
std::wstring stored(const wchar_t* name) {
    DWORD number = 0, bytes = sizeof number;
    if (!RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_DWORD, nullptr, &number,
                      &bytes))
        return std::to_wstring(number);
    wchar_t text[128] = {};
    bytes = sizeof text;
    return RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_REG_SZ, nullptr, text, &bytes)
               ? L"<none>"
               : text;
}

std::wstring windowText(HWND w) {
    wchar_t text[256] = {};
    GetWindowTextW(w, text, 256);
    return text;
}

std::wstring sizeLabel(int ms) {
    return L"Buffer size (in milliseconds): " + std::to_wstring(ms) + L"ms";
}

wchar_t kRegisteredName[] = L"Studio Out";

// Trackbar input: keys end a movement when released; a drag grabs the thumb first.
enum Act { KeyDown, KeyUp, Key, DragPastEnd, DragToStart, Drop };
struct Step {
    Act act;
    UINT vk;
    int label;           // shown after the step
    const wchar_t* size; // and stored
};

// Streaming: the host's asioMessage, and the render endpoint held by a 16-bit stereo stream;
// Offered: the same, the stream the driver's own, started after sizes were offered (128 to
// 24000 in steps of 32); Idle: no endpoint open; NoMessage: no asioMessage; Unregistered: no
// registered name.
enum Host { Streaming, Offered, Idle, NoMessage, Unregistered };

class ControlPanel : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        sim::install();
        moduleHandle = LoadLibraryExW(L"Z:" VLASIO_DLL_PATH, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    }

    void SetUp() override {
        ASSERT_NE(moduleHandle, nullptr) << "the built DLL cannot be loaded";
        sim::configure(sim::defaultRender(), sim::defaultCapture());
    }

    void TearDown() override {
        if (panel.valid()) {
            PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
            panel.wait();
        }
        if (auto* s = std::exchange(stream, nullptr)) s->Release();
        if (auto* d = std::exchange(driver, nullptr)) d->innerRelease();
    }

    // A new driver at 48 kHz, with the enumerator init keeps, a log, and the size stored
    // (-1: none).
    void start(Host host, long size) {
        TearDown(); // what an earlier case left
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
        storeNumber(L"OutputLogToFile", 1);
        if (size >= 0) storeNumber(L"DefaultSizeInMS", size);
        DeleteFileW(L"I:\\VLASIOLog.txt");
        hostMessages.clear();
        registeredDriverName = host == Unregistered ? nullptr : kRegisteredName;
        driver = new ASIOSrv(nullptr);
        driver->innerAddRef();
        driver->callbacks.asioMessage = host == NoMessage ? nullptr : recordAsioMessage;
        driver->sampleRate = 48000;
        IMMDeviceEnumerator* enumerator = nullptr;
        CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                         IID_PPV_ARGS(&enumerator));
        ASSERT_NE(enumerator, nullptr);
        driver->deviceEnumerator = enumerator;
        if (host == Idle) return;
        IMMDevice* device = nullptr;
        enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device);
        driver->device[kRender] = device;
        // The stream owns the endpoint, which would refuse the driver a probe.
        device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                         reinterpret_cast<void**>(&stream));
        ASSERT_NE(stream, nullptr);
        WAVEFORMATEXTENSIBLE format = sim::pcmFormat(48000, 2, 16);
        ASSERT_EQ(stream->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                     100000, 100000, &format.Format, nullptr),
                  S_OK);
        if (host != Offered) return;
        driver->offeredSizes = {true, 10, 128, 24000, 480, 32};
        stream->AddRef();
        driver->audioClient[kRender] = stream;
    }

    // Calls controlPanel on a thread of its own and waits for its dialog to show.
    void open() {
        panel = std::async(std::launch::async, [this] {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            ASIOError result = driver->controlPanel();
            CoUninitialize();
            return result;
        });
        for (int i = 0; i < 1000 && !IsWindowVisible(dialog); ++i) {
            Sleep(10);
            dialog = FindWindowW(nullptr, L"ASIO Configuration");
        }
        ASSERT_TRUE(IsWindowVisible(dialog)) << "the dialog did not open";
        slider = GetDlgItem(dialog, IDC_BUFFER_SIZE_SLIDER);
        label = GetDlgItem(dialog, IDC_BUFFER_SIZE_LABEL);
    }

    // Closes the dialog with a key typed into it, and waits for controlPanel to return.
    void close(UINT vk) {
        PostMessageW(slider, WM_KEYDOWN, vk, 1);
        ASSERT_EQ(panel.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_EQ(panel.get(), ASE_OK);
        EXPECT_EQ(panelDriverName, nullptr);
    }

    void act(Act a, UINT vk) {
        RECT thumb, channel;
        SendMessageW(slider, TBM_GETTHUMBRECT, 0, reinterpret_cast<LPARAM>(&thumb));
        SendMessageW(slider, TBM_GETCHANNELRECT, 0, reinterpret_cast<LPARAM>(&channel));
        int y = (thumb.top + thumb.bottom) / 2;
        if (a == KeyDown || a == Key) SendMessageW(slider, WM_KEYDOWN, vk, 1);
        if (a == KeyUp || a == Key) SendMessageW(slider, WM_KEYUP, vk, 0xC0000001);
        if (a == DragPastEnd) {
            SendMessageW(slider, WM_LBUTTONDOWN, MK_LBUTTON,
                         MAKELPARAM((thumb.left + thumb.right) / 2, y));
            SendMessageW(slider, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(channel.right + 20, y));
        }
        if (a == DragToStart)
            SendMessageW(slider, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(channel.left, y));
        if (a == Drop) SendMessageW(slider, WM_LBUTTONUP, 0, MAKELPARAM(channel.left, y));
    }

    // Opens the dialog, checks what it shows, takes the steps and cancels; then the host has
    // been told of a new size of sizeChange frames (0: of nothing) and the log has logTexts.
    void scenario(const char* what, Host host, long size, const std::vector<Step>& steps,
                  long sizeChange = 0, std::initializer_list<const char*> logTexts = {}) {
        SCOPED_TRACE(what);
        start(host, size);
        open();
        if (HasFatalFailure()) return;
        EXPECT_EQ(windowText(GetDlgItem(dialog, IDC_DRIVER_NAME)),
                  host == Unregistered ? L"Static" : kRegisteredName);
        // The stored size or 3; the trackbar keeps within 2..30.
        int shown = host != Unregistered && size >= 0 ? size : 3;
        EXPECT_EQ(SendMessageW(slider, TBM_GETPOS, 0, 0), std::min(shown, 30));
        EXPECT_EQ(windowText(label), sizeLabel(shown));
        for (size_t i = 0; i < steps.size(); ++i) {
            act(steps[i].act, steps[i].vk);
            EXPECT_EQ(windowText(label), sizeLabel(steps[i].label)) << "after step " << i;
            EXPECT_EQ(stored(L"DefaultSizeInMS"), steps[i].size) << "after step " << i;
        }
        std::wstring kept = stored(L"DefaultSizeInMS");
        close(VK_ESCAPE);
        EXPECT_EQ(stored(L"DefaultSizeInMS"), kept);
        Messages told;
        if (sizeChange) told = {{kAsioBufferSizeChange, sizeChange}, {kAsioLatenciesChanged, 0}};
        EXPECT_EQ(hostMessages, told);
        std::exchange(driver, nullptr)->innerRelease(); // completes its log
        std::stringstream log;
        log << std::ifstream("I:\\VLASIOLog.txt", std::ios::binary).rdbuf();
        for (const char* text : logTexts)
            EXPECT_NE(log.str().find(text), std::string::npos) << text;
    }

    ASIOSrv* driver = nullptr;
    IAudioClient* stream = nullptr;
    std::future<ASIOError> panel;
    HWND dialog = nullptr, slider = nullptr, label = nullptr;
};

// {host, stored size, input} -> label and stored size after each step, then what the host
// was told and the log. A movement is stored when it ends, and Cancel keeps it; the host hears
// of a size that really changed, and only with a stream open.
TEST_F(ControlPanel, TrackbarStoresMovementsAndTellsTheHost) {
    scenario("untouched", Streaming, -1, {}, 0, {"ASIOSrv:::\tsize: 0 => 0 (asioMessage=0x"});
    scenario("out of range: shown as stored", Idle, 100, {{Key, VK_LEFT, 29, L"29"}});
    // 20 ms at 48 kHz: 960 frames, which the endpoint's 128-byte alignment takes as they are.
    scenario("stored when the key is released", Streaming, 10,
             {{KeyDown, VK_NEXT, 15, L"10"},
              {KeyUp, VK_NEXT, 15, L"15"},
              {KeyDown, VK_NEXT, 20, L"15"},
              {KeyUp, VK_NEXT, 20, L"20"}},
             960,
             {"ASIOSrv:::\tdefault size changed: 10 => 20 (0x",
              "ASIOSrv:::\tasioMessage(BufferSizeChange, 960) returned 1"});
    scenario("dragged, stored on release", Idle, -1,
             {{DragPastEnd, 0, 30, L"<none>"}, {DragToStart, 0, 2, L"<none>"}, {Drop, 0, 2, L"2"}},
             0, {"ASIOSrv:::\tsize: 0 => 2 (asioMessage=0x"});
    scenario("Home and End store the limits, leave the label", NoMessage, 10,
             {{KeyDown, VK_END, 10, L"10"}, {KeyUp, VK_END, 10, L"30"}, {Key, VK_HOME, 10, L"2"}},
             0, {"ASIOSrv:::\tsize: 10 => 2 (asioMessage=0x0) pDeviceUnk : 0x"});
    // 2 ms are 96 frames: the host hears of the size it would be offered, the smallest.
    scenario("on the grid offered", Offered, 10, {{Key, VK_HOME, 10, L"2"}}, 128,
             {"ASIOSrv:::\tasioMessage(BufferSizeChange, 128) returned 1"});
    scenario("away and back", Streaming, 10,
             {{Key, VK_RIGHT, 11, L"11"}, {Key, VK_LEFT, 10, L"10"}});
    scenario("no registered name: nothing read or stored", Unregistered, 10,
             {{Key, VK_END, 3, L"10"}, {Key, VK_LEFT, 29, L"10"}});
}

// The template (thirteen controls in order, 239 x 185 units, the 78 x 29 logo), and the
// endpoint lists: two endpoints a direction, the stored choice selected (the default when it is
// not active), a new one stored at once, the default by removing it; afterwards the host is
// asked for a reset before it hears of the new size.
TEST_F(ControlPanel, TemplateAndEndpointLists) {
    sim::EndpointConfig out[2] = {sim::defaultRender(), sim::defaultRender()};
    sim::EndpointConfig in[2] = {sim::defaultCapture(), sim::defaultCapture()};
    out[1].id = L"{0.0.0.00000000}.{headset-out}";
    out[1].friendlyName = L"Headset Earphone (USB)";
    in[1].id = L"{0.0.1.00000000}.{headset-in}";
    in[1].friendlyName = L"Headset Microphone (USB)";
    sim::configure({out[0], out[1]}, {in[0], in[1]});
    start(Streaming, 10);
    RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"RenderEndpoint", REG_SZ, out[1].id.c_str(),
                    DWORD((out[1].id.size() + 1) * sizeof(wchar_t)));
    RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"CaptureEndpoint", REG_SZ, L"{gone}",
                    sizeof L"{gone}");
    open();
    std::wstring controls; // class and identifier of each, as resource.h numbers them
    for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        wchar_t cls[64] = {};
        GetClassNameW(c, cls, 64);
        controls += std::wstring(cls) + L" " + std::to_wstring(GetDlgCtrlID(c)) + L"; ";
    }
    EXPECT_EQ(controls, L"Button 1; Static -1; Static -1; ComboBox 1005; Static -1; ComboBox 1006; "
                        L"Static -1; ComboBox 1007; Static 1008; "
                        L"msctls_trackbar32 1001; Static 1003; Static 1004; Static -1; ");
    RECT size = {0, 0, 239, 185}, client;
    MapDialogRect(dialog, &size);
    GetClientRect(dialog, &client);
    EXPECT_TRUE(EqualRect(&size, &client));
    HWND logo = GetWindow(GetDlgItem(dialog, IDOK), GW_HWNDNEXT);
    BITMAP bitmap{};
    GetObjectW(HGDIOBJ(SendMessageW(logo, STM_GETIMAGE, IMAGE_BITMAP, 0)), sizeof bitmap, &bitmap);
    EXPECT_EQ(std::make_pair(bitmap.bmWidth, bitmap.bmHeight), std::make_pair(78L, 29L));

    std::wstring lists; // the selected entry marked with *
    for (int id : {IDC_OUTPUT_DEVICE, IDC_INPUT_DEVICE}) {
        HWND list = GetDlgItem(dialog, id);
        for (int i = 0; i < SendMessageW(list, CB_GETCOUNT, 0, 0); ++i) {
            wchar_t text[128] = {};
            SendMessageW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
            lists += (SendMessageW(list, CB_GETCURSEL, 0, 0) == i ? L"*" : L"") +
                     std::wstring(text) + L"; ";
        }
    }
    EXPECT_EQ(lists,
              L"System default; Speakers (Simulated HD Audio); *Headset Earphone (USB); "
              L"*System default; Microphone (Simulated HD Audio); Headset Microphone (USB); ");
    SendDlgItemMessageW(dialog, IDC_OUTPUT_DEVICE, WM_KEYDOWN, VK_UP, 1);
    SendDlgItemMessageW(dialog, IDC_INPUT_DEVICE, WM_KEYDOWN, VK_DOWN, 1);
    EXPECT_EQ(stored(L"RenderEndpoint"), out[0].id);
    EXPECT_EQ(stored(L"CaptureEndpoint"), in[0].id);
    SendDlgItemMessageW(dialog, IDC_INPUT_DEVICE, WM_KEYDOWN, VK_HOME, 1);
    EXPECT_EQ(stored(L"CaptureEndpoint"), L"<none>");
    act(Key, VK_RIGHT); // 11 ms of 16-bit stereo: 528 frames, 2112 bytes, aligned to 544 frames
    close(VK_RETURN);
    Messages expected = {
        {kAsioResetRequest, 0}, {kAsioBufferSizeChange, 544}, {kAsioLatenciesChanged, 0}};
    EXPECT_EQ(hostMessages, expected);

    // Another input alone asks for a reset too; the size did not change this time.
    hostMessages.clear();
    open();
    SendDlgItemMessageW(dialog, IDC_INPUT_DEVICE, WM_KEYDOWN, VK_END, 1);
    close(VK_RETURN);
    EXPECT_EQ(hostMessages, (Messages{{kAsioResetRequest, 0}}));
}

// The mode list shows the stored mode (Automatic when there is none), stores a new one at once
// and has the host reset once the dialog closes; beside it, the modes the running stream has.
TEST_F(ControlPanel, ModeListAndTheRunningStreamsModes) {
    start(Streaming, 10);
    stream->AddRef();
    driver->audioClient[kRender] = stream;
    driver->running = true;
    open();
    HWND modes = GetDlgItem(dialog, IDC_STREAM_MODE);
    EXPECT_EQ(SendMessageW(modes, CB_GETCOUNT, 0, 0), 3);
    EXPECT_EQ(SendMessageW(modes, CB_GETCURSEL, 0, 0), 0);
    EXPECT_EQ(windowText(GetDlgItem(dialog, IDC_STREAM_STATE)), L"Streaming now: output exclusive");
    SendMessageW(modes, WM_KEYDOWN, VK_END, 1);
    EXPECT_EQ(stored(L"StreamMode"), L"Shared");
    close(VK_RETURN);
    EXPECT_EQ(hostMessages, (Messages{{kAsioResetRequest, 0}}));

    // Reopened: the stored mode selected; choosing it again changes nothing.
    hostMessages.clear();
    driver->shared[kRender] = true;
    open();
    EXPECT_EQ(SendMessageW(modes = GetDlgItem(dialog, IDC_STREAM_MODE), CB_GETCURSEL, 0, 0), 2);
    EXPECT_EQ(windowText(GetDlgItem(dialog, IDC_STREAM_STATE)), L"Streaming now: output shared");
    SendMessageW(modes, WM_KEYDOWN, VK_HOME, 1);
    SendMessageW(modes, WM_KEYDOWN, VK_END, 1);
    close(VK_RETURN);
    EXPECT_EQ(hostMessages, Messages{});
}

} // namespace
