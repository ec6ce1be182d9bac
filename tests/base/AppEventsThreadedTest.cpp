#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "AppEvents.h"

TEST(AppEventSink, DropsEventsWithoutHandlerAndDeliversWithOne) {
    AppEventSink sink;
    EXPECT_FALSE(sink.Post(typAppEvent::NoLink));
    std::vector<typAppEvent> seen;
    sink.Install([&](typAppEvent e) { seen.push_back(e); });
    EXPECT_TRUE(sink.Post(typAppEvent::PackV7Received));
    EXPECT_TRUE(sink.Post(typAppEvent::CloseTopWindow));
    sink.Remove();
    EXPECT_FALSE(sink.Post(typAppEvent::NoLink));
    EXPECT_EQ(seen, (std::vector<typAppEvent>{typAppEvent::PackV7Received, typAppEvent::CloseTopWindow}));
}

TEST(AppEventSink, RemoveWaitsForAPostInProgress) {
    AppEventSink sink;
    std::atomic<bool> inHandler{false};
    std::atomic<bool> handlerDone{false};
    sink.Install([&](typAppEvent) {
        inHandler = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        handlerDone = true;
    });
    std::thread poster([&] { sink.Post(typAppEvent::PackV5Received); });
    while (!inHandler) std::this_thread::yield();
    sink.Remove();
    // A window destroyed right after Remove must not be reached by the post that was running.
    EXPECT_TRUE(handlerDone);
    poster.join();
}
