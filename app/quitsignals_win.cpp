#include "app/quitsignals.h"

#include <QCoreApplication>

#include <cstdio>
#include <mutex>

#include <windows.h>

namespace {

std::mutex instanceMutex;
QuitSignals *instance = nullptr;
// Set once a run has ended and saved; a console event waits for it.
HANDLE runEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);

void requestQuitLater(QuitSignals *target)
{
    QMetaObject::invokeMethod(
        target, [target] { emit target->quitRequested(); }, Qt::QueuedConnection);
}

// Runs on a thread of its own that Windows starts. For the close, log-off and shut-down events
// Windows ends the process as soon as this returns (or after 5 to 20 seconds), so it returns
// only once the main thread has saved.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    default:
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> lock(instanceMutex);
        if (!instance)
            return FALSE;
        requestQuitLater(instance);
    }
    WaitForSingleObject(runEnded, 20000);
    return TRUE;
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *self = reinterpret_cast<QuitSignals *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case WM_CLOSE:
        // Not passed on: DefWindowProc would destroy the window, and the quit does that.
        if (self)
            requestQuitLater(self);
        return 0;
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        // The process may be ended as soon as this returns: save now, on this (the main)
        // thread, rather than from the event loop.
        if (wParam && self)
            emit self->quitRequested();
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

} // namespace

const wchar_t *QuitSignals::windowClassName()
{
    return L"VelaHearthQuit";
}

void QuitSignals::attachParentConsole()
{
    const bool hadOutput = GetStdHandle(STD_ERROR_HANDLE) != nullptr;
    if (!AttachConsole(ATTACH_PARENT_PROCESS) || hadOutput)
        return; // none to attach to, or output already goes somewhere (a pipe, a file)
    std::freopen("CONOUT$", "w", stdout);
    std::freopen("CONOUT$", "w", stderr);
}

QuitSignals::QuitSignals(QObject *parent)
    : QObject(parent)
{
    ResetEvent(runEnded);
    {
        std::lock_guard<std::mutex> lock(instanceMutex);
        instance = this;
    }
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);

    // A top-level window, never shown: message-only windows hear neither WM_CLOSE from
    // taskkill nor the session's end, which Windows sends to top-level windows only.
    const HINSTANCE module = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = module;
    windowClass.lpszClassName = windowClassName();
    RegisterClassW(&windowClass); // fails harmlessly when a previous run registered it
    HWND hwnd = CreateWindowExW(0, windowClassName(), L"Vela Hearth", WS_OVERLAPPED, 0, 0, 0, 0,
        nullptr, nullptr, module, nullptr);
    if (hwnd)
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    window = hwnd;

    // The toolkit's own windows hear the session's end too and say so with aboutToQuit,
    // emitted before their window procedure returns.
    if (auto *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &QuitSignals::quitRequested);
}

QuitSignals::~QuitSignals()
{
    if (window)
        DestroyWindow(static_cast<HWND>(window));
    {
        std::lock_guard<std::mutex> lock(instanceMutex);
        instance = nullptr;
    }
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    // By now the quit has saved: a console event waiting for it may let Windows go on.
    SetEvent(runEnded);
}
