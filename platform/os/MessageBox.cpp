#include "os/MessageBox.h"

#include <cstdio>
#include <mutex>

namespace os {

namespace {

int headless(const std::string& text, const std::string& caption, std::uint32_t flags) {
    if (caption.empty())
        std::fprintf(stderr, "%s\n", text.c_str());
    else
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return defaultButton(flags);
}

std::mutex handlerMutex;
MessageBoxHandler& installed() {
    static MessageBoxHandler h = headless;
    return h;
}

}  // namespace

int defaultButton(std::uint32_t flags) {
    static constexpr int kButtons[][3] = {
        {IDOK, 0, 0},                  // MB_OK
        {IDOK, IDCANCEL, 0},           // MB_OKCANCEL
        {IDABORT, IDRETRY, IDIGNORE},  // MB_ABORTRETRYIGNORE
        {IDYES, IDNO, IDCANCEL},       // MB_YESNOCANCEL
        {IDYES, IDNO, 0},              // MB_YESNO
        {IDRETRY, IDCANCEL, 0},        // MB_RETRYCANCEL
    };
    const auto type = flags & MB_TYPEMASK;
    if (type >= std::size(kButtons)) return IDOK;
    const auto index = (flags & MB_DEFMASK) >> 8;
    // A default past the last button falls back to the first, as the platform does.
    if (index < 3 && kButtons[type][index] != 0) return kButtons[type][index];
    return kButtons[type][0];
}

int MessageBox(const std::string& text, const std::string& caption, std::uint32_t flags) {
    MessageBoxHandler handler;
    {
        std::lock_guard lock(handlerMutex);
        handler = installed();
    }
    // Called unlocked: a handler may run a dialog for a long time or replace itself.
    return handler(text, caption, flags);
}

MessageBoxHandler setMessageBoxHandler(MessageBoxHandler handler) {
    if (!handler) handler = headless;
    std::lock_guard lock(handlerMutex);
    auto previous = std::move(installed());
    installed() = std::move(handler);
    return previous;
}

}  // namespace os
