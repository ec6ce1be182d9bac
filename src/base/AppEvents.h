#pragma once

#include <functional>
#include <mutex>

// Events that the link threads raise for the windows. The link code never touches a window:
// it posts one of these through the sink that the application installs, and the application
// turns it into an event for its current top window on the GUI thread.
enum class typAppEvent {
    PackV5Received,  // a line packet from the console is waiting in the input queue
    PackV7Received,  // a V7 packet from the device is waiting in the input queue
    NoLink,          // the device stopped acknowledging
    CloseTopWindow,  // the console closed the link or it was lost
};

class AppEventSink {
public:
    using Handler = std::function<void(typAppEvent)>;

    AppEventSink() = default;
    AppEventSink(const AppEventSink&) = delete;
    AppEventSink& operator=(const AppEventSink&) = delete;

    // Install replaces the previous handler. Remove returns only when no handler call is in
    // progress, so after it returns nothing reaches whatever the handler referred to.
    void Install(Handler handler);
    void Remove();

    // With no handler installed the event is dropped; returns whether a handler took it.
    bool Post(typAppEvent event) const;

private:
    mutable std::mutex m_lock;
    Handler m_handler;
};
