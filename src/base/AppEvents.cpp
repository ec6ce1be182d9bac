#include "AppEvents.h"

#include <utility>

void AppEventSink::Install(Handler handler) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_handler = std::move(handler);
}

void AppEventSink::Remove() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_handler = nullptr;
}

bool AppEventSink::Post(typAppEvent event) const {
    // The handler runs under the lock on purpose: Remove must not return while a post is
    // still reaching a window that is about to be destroyed. Handlers only queue an event.
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_handler) return false;
    m_handler(event);
    return true;
}
