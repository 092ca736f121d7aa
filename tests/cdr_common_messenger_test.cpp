#include "core/cdr_common_messenger.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "platform/messaging/recorder_client.h"
#include "support/test_env.h"

namespace {

// A real poller (it selects real queues) whose waits report a scripted list of numbers; once the
// list is used up it calls `onEnd` and reports 0.
class ScriptedPoller : public CyclicQueuePoller {
  public:
    ScriptedPoller(std::vector<int> script, std::function<void()> onEnd)
        : CyclicQueuePoller(39), mScript(std::move(script)), mOnEnd(std::move(onEnd)) {}
    int WaitForEvents() override {
        if (mNext < mScript.size()) return mScript[mNext++];
        mOnEnd();
        return 0;
    }

  private:
    std::vector<int> mScript;
    size_t mNext = 0;
    std::function<void()> mOnEnd;
};

// Records which handlers the loop reached.
class RecordingMessenger : public CDRCommonMessenger {
  public:
    explicit RecordingMessenger(std::vector<int> script) {
        delete mpPoller;
        mpPoller = new ScriptedPoller(std::move(script), [this] { mIsRunning = 0; });
    }
    int OnAddCDR(int type, const CallDetailReport& report, const CallStatistics*) override {
        mCalls.push_back("add " + std::to_string(type) + " " + report.called);
        if (mThrowOnAdd) throw 42;
        return 1;
    }
    int OnClear(int mask) override {
        mCalls.push_back("clear " + std::to_string(mask));
        return 1;
    }
    void OnWaitError(int argument) override {
        mCalls.push_back("wait error " + std::to_string(argument));
    }
    std::vector<std::string> mCalls;
    bool mThrowOnAdd = false;
};

WireMessage Report(const char* called) {
    WireMessage message;
    message.kind = MessageKind::kAddCDR;
    message.recordType = 2;
    message.report.called = called;
    return message;
}

WireMessage ClearRequest(int mask) {
    WireMessage message;
    message.kind = MessageKind::kClear;
    message.mask = mask;
    return message;
}

TEST(CDRCommonMessengerTest, EachNumberReachesItsMessengerAndFailedWaitsTheHook) {
    SandboxEnv env;
    RecordingMessenger messenger({15, 111, -1, -1, 7, 15});
    messenger.SelectQueues();
    RecorderClient client(1000);
    ASSERT_EQ(ClientStatus::kDone, client.Post(Report("first")));
    ASSERT_EQ(ClientStatus::kDone, client.Post(Report("second")));
    ASSERT_EQ(ClientStatus::kDone, client.Post(ClearRequest(5)));
    messenger.WaitForMessagingEvent();
    EXPECT_EQ((std::vector<std::string>{"add 2 first", "clear 5", "wait error 1", "wait error 1",
                                        "add 2 second"}),
              messenger.mCalls);
}

TEST(CDRCommonMessengerTest, AnExceptionFromAHandlerLeavesTheLoopAtOnce) {
    SandboxEnv env;
    RecordingMessenger messenger({15, 111});
    messenger.mThrowOnAdd = true;
    messenger.SelectQueues();
    RecorderClient client(1000);
    ASSERT_EQ(ClientStatus::kDone, client.Post(Report("boom")));
    ASSERT_EQ(ClientStatus::kDone, client.Post(ClearRequest(1)));
    EXPECT_THROW(messenger.WaitForMessagingEvent(), int);
    EXPECT_EQ((std::vector<std::string>{"add 2 boom"}), messenger.mCalls);
}

}  // namespace
