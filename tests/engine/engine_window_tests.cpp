// Window handles: lines delivered from other threads reach the receiver on its own thread,
// complete and in order, and are dropped once the receiver is gone.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QObject>
#include <QTest>
#include <QThread>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_window.h"

namespace {

// Lines reach the receiver in batches of at most kEngineLinesPerBatch, one batch per turn of
// the event loop: give the loop enough turns to hand over everything queued so far.
void HandleQueuedLines() {
    for (int turn = 0; turn < 200; ++turn) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

struct Received {
    std::vector<std::string> lines;
    bool offThread = false;
};

// A handle whose lines are collected into received while receiver lives.
RelvoMailWindow* CollectingWindow(QObject* receiver, Received& received) {
    return CreateEngineWindow(receiver, [receiver, &received](const QByteArray& line) {
        received.offThread |= QThread::currentThread() != receiver->thread();
        receiver->setObjectName(QString::fromUtf8(line));  // touches the receiver on purpose
        received.lines.push_back(line.toStdString());
    });
}

void Deliver(RelvoMailWindow* window, const char* text,
             unsigned int message = RELVOMAIL_PROGRESS_MESSAGE) {
    window->deliver(window, message, 0, text);
}

// Delivers count lines "<prefix><index>" from a thread of its own and waits for it.
void DeliverFromThread(RelvoMailWindow* window, int count, const std::string& prefix) {
    std::thread([=] {
        for (int index = 0; index < count; ++index) {
            Deliver(window, (prefix + std::to_string(index)).c_str());
        }
    }).join();
}

std::vector<std::string> Numbered(const std::string& prefix, int count) {
    std::vector<std::string> lines;
    for (int index = 0; index < count; ++index) {
        lines.push_back(prefix + std::to_string(index));
    }
    return lines;
}

}  // namespace

TEST(EngineWindowDelivery, LinesFromAnEngineThreadArriveInOrderOnTheReceiversThread) {
    QObject receiver;
    Received received;
    RelvoMailWindow* window = CollectingWindow(&receiver, received);

    DeliverFromThread(window, 2000, "line ");
    EXPECT_TRUE(received.lines.empty()) << "handled before the UI thread ran its events";
    HandleQueuedLines();

    EXPECT_EQ(received.lines, Numbered("line ", 2000));
    EXPECT_FALSE(received.offThread);
}

TEST(EngineWindowDelivery, EachThreadsLinesKeepTheirOrderAmongSeveralThreads) {
    QObject receiver;
    Received received;
    RelvoMailWindow* window = CollectingWindow(&receiver, received);

    std::vector<std::thread> threads;
    for (int thread = 0; thread < 4; ++thread) {
        threads.emplace_back([=] {
            for (int index = 0; index < 1500; ++index) {
                Deliver(window,
                        ("t" + std::to_string(thread) + ":" + std::to_string(index)).c_str());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    QTRY_COMPARE_WITH_TIMEOUT(received.lines.size(), 6000u, 5000);
    for (int thread = 0; thread < 4; ++thread) {
        std::string prefix = "t" + std::to_string(thread) + ":";
        std::vector<std::string> ofThread;
        for (const auto& line : received.lines) {
            if (line.starts_with(prefix)) {
                ofThread.push_back(line);
            }
        }
        EXPECT_EQ(ofThread, Numbered(prefix, 1500)) << "thread " << thread;
    }
}

TEST(EngineWindowDelivery, TextIsCopiedBeforeDeliverReturns) {
    QObject receiver;
    Received received;
    RelvoMailWindow* window = CollectingWindow(&receiver, received);

    std::string text(100000, 'x');
    text += " Grüße ✓";
    std::string expected = text;
    auto buffer = std::make_unique<char[]>(text.size() + 1);
    std::memcpy(buffer.get(), text.c_str(), text.size() + 1);
    Deliver(window, buffer.get());
    std::memset(buffer.get(), 'z', text.size());  // the engine reuses its buffer at once
    buffer.reset();
    HandleQueuedLines();

    ASSERT_EQ(received.lines.size(), 1u);
    EXPECT_EQ(received.lines[0], expected);
}

TEST(EngineWindowDelivery, NullTextArrivesAsAnEmptyLine) {
    QObject receiver;
    Received received;
    RelvoMailWindow* window = CollectingWindow(&receiver, received);

    Deliver(window, nullptr);
    HandleQueuedLines();

    EXPECT_EQ(received.lines, std::vector<std::string>{""});
}

TEST(EngineWindowDelivery, OnlyProgressMessagesAreDelivered) {
    QObject receiver;
    Received received;
    RelvoMailWindow* window = CollectingWindow(&receiver, received);

    Deliver(window, "other", RELVOMAIL_PROGRESS_MESSAGE + 1);
    Deliver(window, "zero", 0);
    Deliver(window, "progress");
    HandleQueuedLines();

    EXPECT_EQ(received.lines, std::vector<std::string>{"progress"});
}

TEST(EngineWindowDelivery, DeliverNeverWaitsForTheUiThread) {
    QObject receiver;
    Received received;
    RelvoMailWindow* window = CollectingWindow(&receiver, received);

    // The UI thread is busy (not running events) while the engine thread delivers.
    auto done = std::async(std::launch::async, [window] {
        for (int index = 0; index < 1000; ++index) {
            Deliver(window, "busy");
        }
    });
    EXPECT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    done.wait();
    // Handed over in batches, with the window's other events in between.
    QTRY_COMPARE_WITH_TIMEOUT(received.lines.size(), 1000u, 5000);
}

TEST(EngineWindowGoneReceiver, LinesSentAfterTheReceiverIsDestroyedAreDropped) {
    auto receiver = std::make_unique<QObject>();
    Received received;
    RelvoMailWindow* window = CollectingWindow(receiver.get(), received);
    receiver.reset();

    DeliverFromThread(window, 500, "late ");
    HandleQueuedLines();

    EXPECT_TRUE(received.lines.empty());
}

TEST(EngineWindowGoneReceiver, LinesQueuedBeforeTheReceiverIsDestroyedAreDropped) {
    auto receiver = std::make_unique<QObject>();
    Received received;
    RelvoMailWindow* window = CollectingWindow(receiver.get(), received);

    DeliverFromThread(window, 500, "queued ");
    receiver.reset();
    HandleQueuedLines();

    EXPECT_TRUE(received.lines.empty());
}

TEST(EngineWindowGoneReceiver, HandlerThatDestroysItsReceiverStopsFurtherLines) {
    auto* receiver = new QObject;
    std::vector<std::string> lines;
    RelvoMailWindow* window =
        CreateEngineWindow(receiver, [&lines, receiver](const QByteArray& line) {
            lines.push_back(line.toStdString());
            if (line == "close") {
                delete receiver;  // a dialog that closes on a line
            }
        });

    Deliver(window, "first");
    Deliver(window, "close");
    Deliver(window, "after");
    HandleQueuedLines();

    EXPECT_EQ(lines, (std::vector<std::string>{"first", "close"}));
}

TEST(EngineWindowGoneReceiver, NullReceiverGetsAUsableHandleThatDropsLines) {
    bool called = false;
    RelvoMailWindow* window =
        CreateEngineWindow(nullptr, [&called](const QByteArray&) { called = true; });
    ASSERT_NE(window, nullptr);

    Deliver(window, "nobody");
    HandleQueuedLines();

    EXPECT_FALSE(called);
}
