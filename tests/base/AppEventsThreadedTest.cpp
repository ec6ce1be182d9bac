#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>
#include <vector>

#include "AppEvents.h"

TEST(AppEventSink, DeliversOnlyToAHandlerAndRemoveWaitsForAPostInProgress) {
    AppEventSink sink;
    std::vector<typAppEvent> seen;
    std::atomic<bool> inHandler{false}, handlerDone{false};
    const bool without = sink.Post(typAppEvent::NoLink);
    sink.Install([&](typAppEvent e) { seen.push_back(e); });
    const bool with = sink.Post(typAppEvent::PackV7Received);
    sink.Install([&](typAppEvent) {  // replaces the first
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
    EXPECT_EQ(std::make_tuple(without, with, seen, sink.Post(typAppEvent::NoLink)),
              std::make_tuple(false, true, std::vector<typAppEvent>{typAppEvent::PackV7Received}, false));
}
