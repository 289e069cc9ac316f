// Test helper that watches the launcher window from outside, as a user would
// see it, and prints what it observes as UTF-8 lines:
//   watching                 first, once it is ready: start the launcher only then
//   window class=.. caption=.. style=0x.. exstyle=0x.. rect=l,t,r,b screen=w,h
//   control class=.. style=0x.. client=x,y,w,h text=..
//   status <text>            whenever the status line changes
//   progress <n>             whenever the progress bar position changes
//   errorbox <text>          a message box captioned "Tovrin Tools Launcher"
//   dialog <caption>|<text>  any other dialog of the launcher's process
//   hidden                   the launcher window is no longer visible
//   gone                     the launcher window no longer exists
//   timeout                  the window did not appear, or did not go, in time
//   painted yes|no <text>    with --watch-paint TEXT, once that status text has gone:
//                            whether the status line's pixels on the screen ever
//                            differed, while it read TEXT, from those seen under the
//                            text before it
//   paint sampled            with --watch-paint, once the status line's pixels were
//                            first captured under a text before TEXT
//   released                 the file given with --hold was let go
//   finish held              with --hold-finish: the run's finish waited until the
//                            window had been read once more; the status and progress
//                            lines before this one are what the run ended with
// Usage: ui_probe [--timeout-ms N] [--close-on TEXT] [--close-after-ms N] [--keep-boxes]
//                 [--watch-paint TEXT] [--hold PATH --release-on TEXT] [--hold-finish]
//                 [--windowless]
// --windowless reports a box of any process shown before any launcher window (then "gone").
// Boxes are answered with OK unless --keep-boxes is given. --hold keeps PATH open
// (readable by others, but not replaceable) until a status containing TEXT was seen,
// so the launcher cannot move a file over it before that text was observed.
// --hold-finish sets finish_hold.dll (beside the probe) as a message hook before
// "watching", so even a window that would close at once shows its last state.
#include <windows.h>

#include <commctrl.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

struct ProbeOptions {
    DWORD timeoutMs = 60000;
    const wchar_t* closeOn = nullptr;
    DWORD closeAfterMs = 0;
    bool pressOk = true;
    const wchar_t* watchPaint = nullptr;
    const wchar_t* hold = nullptr;
    const wchar_t* releaseOn = nullptr;
    bool windowless = false;
    bool holdFinish = false;
};

void PrintLine(const wchar_t* format, ...)
{
    wchar_t wide[2048];
    va_list args;
    va_start(args, format);
    vswprintf(wide, 2048, format, args);
    va_end(args);
    char utf8[8192];
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof(utf8), nullptr, nullptr);
    // Line feeds inside texts (the connect error has one) are escaped to keep one event a line.
    for (char* p = utf8; *p != '\0'; ++p) {
        if (*p == '\n') {
            *p = '|';
        }
    }
    printf("%s\n", utf8);
    fflush(stdout);
}

bool ReadText(HWND window, wchar_t* text, int units)
{
    text[0] = L'\0';
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, units, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000,
                             &length)) {
        text[0] = L'\0';
        return false;
    }
    return true;
}

BOOL CALLBACK PrintControl(HWND child, LPARAM parentParam)
{
    HWND parent = reinterpret_cast<HWND>(parentParam);
    wchar_t className[64];
    wchar_t text[512];
    GetClassNameW(child, className, 64);
    // Read without a message: the launcher's thread may be busy (its 300 ms pause
    // before closing), and waiting on it here could outlast the window.
    text[0] = L'\0';
    InternalGetWindowText(child, text, 512);
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    PrintLine(L"control class=%ls style=0x%08lx id=%ld client=%ld,%ld,%ld,%ld text=%ls", className,
              static_cast<unsigned long>(GetWindowLongW(child, GWL_STYLE)),
              static_cast<long>(GetWindowLongPtrW(child, GWLP_ID)), rect.left, rect.top, rect.right - rect.left,
              rect.bottom - rect.top, text);
    return TRUE;
}

void PrintWindowState(HWND window)
{
    wchar_t caption[256] = L"";
    InternalGetWindowText(window, caption, 256);
    RECT rect;
    GetWindowRect(window, &rect);
    PrintLine(L"window class=TovrinToolsLauncherWnd caption=%ls style=0x%08lx exstyle=0x%08lx rect=%ld,%ld,%ld,%ld "
              L"screen=%d,%d",
              caption, static_cast<unsigned long>(GetWindowLongW(window, GWL_STYLE)),
              static_cast<unsigned long>(GetWindowLongW(window, GWL_EXSTYLE)), rect.left, rect.top, rect.right,
              rect.bottom, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    EnumChildWindows(window, PrintControl, reinterpret_cast<LPARAM>(window));
}

struct DialogSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindProcessDialog(HWND window, LPARAM searchParam)
{
    DialogSearch* search = reinterpret_cast<DialogSearch*>(searchParam);
    wchar_t className[16];
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if ((search->processId == 0 || processId == search->processId) && IsWindowVisible(window) &&
        GetClassNameW(window, className, 16) > 0 && wcscmp(className, L"#32770") == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK FindMessageText(HWND child, LPARAM textParam)
{
    wchar_t* text = reinterpret_cast<wchar_t*>(textParam);
    wchar_t className[16];
    GetClassNameW(child, className, 16);
    if (_wcsicmp(className, L"Static") == 0) {
        wchar_t candidate[1024];
        ReadText(child, candidate, 1024);
        if (candidate[0] != L'\0') {
            wcscpy(text, candidate);
            return FALSE;
        }
    }
    return TRUE;
}

// Reports a dialog of the launcher's process and, unless told otherwise, answers it with OK.
bool HandleDialog(DWORD processId, bool pressOk, HWND* lastReported)
{
    DialogSearch search = {processId, nullptr};
    EnumWindows(FindProcessDialog, reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr) {
        return false;
    }
    if (search.found != *lastReported) {
        wchar_t caption[256];
        wchar_t text[1024] = L"";
        ReadText(search.found, caption, 256);
        EnumChildWindows(search.found, FindMessageText, reinterpret_cast<LPARAM>(text));
        if (wcscmp(caption, L"Tovrin Tools Launcher") == 0) {
            PrintLine(L"errorbox %ls", text);
        } else {
            PrintLine(L"dialog %ls|%ls", caption, text);
        }
        *lastReported = search.found;
    }
    if (pressOk) {
        PostMessageW(search.found, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }
    return true;
}

struct Controls {
    HWND status;
    HWND progress;
};

BOOL CALLBACK FindControls(HWND child, LPARAM controlsParam)
{
    Controls* controls = reinterpret_cast<Controls*>(controlsParam);
    wchar_t className[64];
    GetClassNameW(child, className, 64);
    if (_wcsicmp(className, L"Static") == 0) {
        controls->status = child;
    } else if (_wcsicmp(className, L"msctls_progress32") == 0) {
        controls->progress = child;
    }
    return TRUE;
}

// What --watch-paint has seen of the status line on the screen so far.
struct PaintWatch {
    static constexpr int kMaxPixels = 404 * 24;
    DWORD before[kMaxPixels];  // the last capture under an earlier text
    DWORD now[kMaxPixels];
    int pixels = 0;
    bool haveBefore = false;
    bool seen = false;       // the watched text has been read
    bool differed = false;   // and a capture under it differed from before
    bool reported = false;
};

// The status line's pixels as the screen shows them (not as the window would draw them).
int CaptureScreenPixels(HWND control, DWORD* pixels, int maxPixels)
{
    RECT rect;
    if (!GetWindowRect(control, &rect)) {
        return 0;
    }
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0 || width * height > maxPixels) {
        return 0;
    }
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, previous);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    const int rows = GetDIBits(memory, bitmap, 0, height, pixels, &info, DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return rows == height ? width * height : 0;
}

// One sample for --watch-paint. The capture comes before the text is read and
// counts only if the window is still visible after it, so a capture taken under
// an earlier text can never show the watched text's paint, and none shows the
// desktop behind a window that was closing.
void WatchPaint(HWND window, HWND status, const wchar_t* watched, PaintWatch* watch)
{
    if (watched == nullptr || watch->reported) {
        return;
    }
    const int pixels = CaptureScreenPixels(status, watch->now, PaintWatch::kMaxPixels);
    wchar_t text[512] = L"";
    InternalGetWindowText(status, text, 512);
    const bool valid = pixels > 0 && IsWindowVisible(window);
    if (wcscmp(text, watched) == 0) {
        watch->seen = true;
        if (valid && watch->haveBefore && pixels == watch->pixels &&
            memcmp(watch->now, watch->before, pixels * sizeof(DWORD)) != 0) {
            watch->differed = true;
        }
        return;
    }
    if (watch->seen) {
        PrintLine(L"painted %ls %ls", watch->differed ? L"yes" : L"no", watched);
        watch->reported = true;
    } else if (valid) {
        memcpy(watch->before, watch->now, pixels * sizeof(DWORD));
        watch->pixels = pixels;
        if (!watch->haveBefore) {
            PrintLine(L"paint sampled");
        }
        watch->haveBefore = true;
    }
}

// The finish hold of --hold-finish: finish_hold.dll sets `held` once the
// launcher's finish waits, and waits in turn for `release`.
struct FinishHold {
    HANDLE held = nullptr;
    HANDLE release = nullptr;
    bool waiting = false;
    bool done = false;
};

bool SetFinishHold(FinishHold* hold)
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t* slash = wcsrchr(path, L'\\');
    if (length == 0 || length >= MAX_PATH || slash == nullptr || slash - path + 17 >= MAX_PATH) {
        return false;
    }
    wcscpy(slash + 1, L"finish_hold.dll");
    HMODULE module = LoadLibraryW(path);
    FARPROC proc = module != nullptr ? GetProcAddress(module, "HoldFinish") : nullptr;
    hold->held = CreateEventW(nullptr, FALSE, FALSE, L"TovrinProbeFinishHeld");
    hold->release = CreateEventW(nullptr, FALSE, FALSE, L"TovrinProbeFinishRelease");
    // Global: set before the launcher exists, so no finish can come before it.
    return proc != nullptr && hold->held != nullptr && hold->release != nullptr &&
           SetWindowsHookExW(WH_GETMESSAGE, reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(proc)), module, 0) !=
               nullptr;
}

bool ParseOptions(int argc, wchar_t** argv, ProbeOptions* options)
{
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (wcscmp(argv[i], L"--timeout-ms") == 0 && hasValue) {
            options->timeoutMs = wcstoul(argv[++i], nullptr, 10);
        } else if (wcscmp(argv[i], L"--close-on") == 0 && hasValue) {
            options->closeOn = argv[++i];
        } else if (wcscmp(argv[i], L"--close-after-ms") == 0 && hasValue) {
            options->closeAfterMs = wcstoul(argv[++i], nullptr, 10);
        } else if (wcscmp(argv[i], L"--watch-paint") == 0 && hasValue) {
            options->watchPaint = argv[++i];
        } else if (wcscmp(argv[i], L"--hold") == 0 && hasValue) {
            options->hold = argv[++i];
        } else if (wcscmp(argv[i], L"--release-on") == 0 && hasValue) {
            options->releaseOn = argv[++i];
        } else if (wcscmp(argv[i], L"--windowless") == 0) {
            options->windowless = true;
        } else if (wcscmp(argv[i], L"--hold-finish") == 0) {
            options->holdFinish = true;
        } else if (wcscmp(argv[i], L"--keep-boxes") == 0) {
            options->pressOk = false;
        } else {
            fwprintf(stderr, L"ui_probe: unknown argument %ls\n", argv[i]);
            return false;
        }
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    ProbeOptions options;
    if (!ParseOptions(argc, argv, &options)) {
        return 2;
    }
    HANDLE held = INVALID_HANDLE_VALUE;
    if (options.hold != nullptr) {
        held = CreateFileW(options.hold, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
        if (held == INVALID_HANDLE_VALUE) {
            fwprintf(stderr, L"ui_probe: cannot hold %ls (error %lu)\n", options.hold, GetLastError());
            return 2;
        }
    }
    FinishHold finish;
    if (options.holdFinish && !SetFinishHold(&finish)) {
        fwprintf(stderr, L"ui_probe: cannot set the finish hold (error %lu)\n", GetLastError());
        return 2;
    }
    // The caller starts the launcher only after this line, so even a window that
    // lives for a moment is looked for before it can appear.
    PrintLine(L"watching");
    const DWORD start = GetTickCount();
    HWND window = nullptr;
    HWND lastDialog = nullptr;
    // Wait until the window is shown: before that it may still be half created.
    while ((window = FindWindowW(L"TovrinToolsLauncherWnd", nullptr)) == nullptr || !IsWindowVisible(window)) {
        if (options.windowless && HandleDialog(0, options.pressOk, &lastDialog)) {
            PrintLine(L"gone");
            return 0;
        }
        if (GetTickCount() - start > options.timeoutMs) {
            PrintLine(L"timeout");
            return 1;
        }
        Sleep(10);
    }
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    PrintWindowState(window);

    Controls controls = {nullptr, nullptr};
    EnumChildWindows(window, FindControls, reinterpret_cast<LPARAM>(&controls));
    const DWORD appeared = GetTickCount();
    wchar_t lastStatus[512] = L"\x1";
    LRESULT lastProgress = -1;
    bool closeSent = false;
    bool hidden = false;
    static PaintWatch paintWatch;
    while (IsWindow(window)) {
        // What the user sees; the window object itself may outlive that briefly.
        if (!hidden && !IsWindowVisible(window)) {
            PrintLine(L"hidden");
            hidden = true;
        }
        wchar_t status[512];
        // The stored text is read without a message, so texts shown while the
        // launcher's thread is busy (its 300 ms pause before closing) are seen too.
        status[0] = L'\0';
        InternalGetWindowText(controls.status, status, 512);
        if (IsWindow(controls.status) && wcscmp(status, lastStatus) != 0) {
            PrintLine(L"status %ls", status);
            wcscpy(lastStatus, status);
        }
        DWORD_PTR position = 0;
        if (SendMessageTimeoutW(controls.progress, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 100, &position) &&
            static_cast<LRESULT>(position) != lastProgress) {
            lastProgress = static_cast<LRESULT>(position);
            PrintLine(L"progress %ld", static_cast<long>(lastProgress));
        }
        if (held != INVALID_HANDLE_VALUE && options.releaseOn != nullptr &&
            wcsstr(status, options.releaseOn) != nullptr) {
            CloseHandle(held);
            held = INVALID_HANDLE_VALUE;
            PrintLine(L"released");
        }
        HandleDialog(processId, options.pressOk, &lastDialog);
        WatchPaint(window, controls.status, options.watchPaint, &paintWatch);
        const bool closeNow = (options.closeOn != nullptr && wcsstr(status, options.closeOn) != nullptr) ||
                              (options.closeAfterMs != 0 && GetTickCount() - appeared >= options.closeAfterMs);
        if (closeNow && !closeSent) {
            // Sent rather than posted: a close decided while the finish is held is
            // handled before that finish, as it would be had it come a moment earlier.
            SendMessageTimeoutW(window, WM_CLOSE, 0, 0, SMTO_NORMAL, 5000, nullptr);
            PrintLine(L"close sent");
            closeSent = true;
        }
        // Released after a whole round of reads that began while the finish waited.
        if (finish.waiting && !finish.done) {
            SetEvent(finish.release);
            PrintLine(L"finish held");
            finish.done = true;
        } else if (finish.held != nullptr && !finish.waiting && WaitForSingleObject(finish.held, 0) == WAIT_OBJECT_0) {
            finish.waiting = true;
        }
        if (GetTickCount() - start > options.timeoutMs) {
            PrintLine(L"timeout");
            return 1;
        }
        Sleep(1);
    }
    // A box of another process may still be up (the shell's own); report it too.
    HandleDialog(processId, options.pressOk, &lastDialog);
    WatchPaint(window, controls.status, options.watchPaint, &paintWatch);
    if (!hidden) {
        PrintLine(L"hidden");
    }
    PrintLine(L"gone");
    return 0;
}
