#include "platform/message_box.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#ifdef _WIN32
#include <windows.h>
#endif

namespace platform {
namespace {
std::mutex handlerMutex;
MessageBoxHandler handlerFn = nullptr;
void* handlerContext = nullptr;
std::string appTitle = "Kavo2";
}  // namespace

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
    return MessageBoxA(GetActiveWindow(), text, appTitle.c_str(), type);
#else
    // The host build has no windows: the text goes to the console (in code page 932).
    std::fprintf(stderr, "[%s] %s\n", appTitle.c_str(), text);
    return (type & 0xF) == kMbOkCancel ? kIdCancel : kIdOk;
#endif
}

}  // namespace platform
