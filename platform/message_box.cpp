#include "platform/message_box.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#ifdef _WIN32
#include <windows.h>

#include "platform/wide_text.h"
#endif

namespace platform {
namespace {
std::mutex handlerMutex;
MessageBoxHandler handlerFn = nullptr;
void* handlerContext = nullptr;
std::string appTitle = "Kavo2";
std::atomic<SystemBoxListener> systemBoxListener{nullptr};
}  // namespace

void SetSystemBoxListener(SystemBoxListener listener) { systemBoxListener.store(listener); }

void SetAppTitle(const char* title) { appTitle = title ? title : ""; }
const char* AppTitle() { return appTitle.c_str(); }

void SetMessageBoxHandler(MessageBoxHandler handler, void* context) {
    std::lock_guard<std::mutex> lock(handlerMutex);
    handlerFn = handler;
    handlerContext = context;
}

int ShowMessageBox(const char* text, unsigned type) {
    if ((type & kMbIconMask) == 0) type |= kMbIconExclamation;
    MessageBoxHandler fn;
    void* ctx;
    {
        std::lock_guard<std::mutex> lock(handlerMutex);
        fn = handlerFn;
        ctx = handlerContext;
    }
    if (fn) return fn(text, type, ctx);
#ifdef _WIN32
    HWND owner = GetActiveWindow();
    // A box with no window of ours under it (from start-up, the icon or the menu)
    // would be kept behind other windows by the system's foreground lock, or only
    // flash in the task bar: at a start at logon the user would never learn why
    // nothing plays. A box over one of our dialogs comes up with it.
    if (!owner) type |= MB_TOPMOST | MB_SETFOREGROUND;
    if (const SystemBoxListener listener = systemBoxListener.load()) listener(type);
    return MessageBoxW(owner, text::Wide(text).c_str(), text::Wide(appTitle).c_str(), type);
#else
    // The host build has no windows: the text goes to the console (in code page 932).
    std::fprintf(stderr, "[%s] %s\n", appTitle.c_str(), text);
    return (type & 0xF) == kMbOkCancel ? kIdCancel : kIdOk;
#endif
}

}  // namespace platform
