// The senders' side of the recorder's queues: posts call detail reports, control requests and
// connection announcements, and awaits the answers to the answered requests. Used by cdrctl and by
// the device's other programs.
#pragma once

#include <stdint.h>

#include <string>

#include "platform/messaging/message_queue.h"
#include "platform/messaging/wire_codec.h"

enum class ClientStatus {
    kDone,
    kInvalid,      // the message cannot be encoded (a number out of range); nothing was sent
    kUnavailable,  // the queue is missing, stayed full past the timeout, or no answer came
};

class RecorderClient {
  public:
    // `timeoutMillis`: how long a send waits for room in a full queue, and how long an answer is
    // awaited after its request was sent.
    explicit RecorderClient(int timeoutMillis);

    // Posts `message` on the recorder's queue its kind belongs to: /ping-15 for reports and the
    // call manager's state, /ping-111 for the web side's requests and state. Opens existing
    // queues only: a recorder that is not running is kUnavailable.
    ClientStatus Post(const WireMessage& message);

    // Posts `request` (clear, flush or settings reload) with a fresh cookie and waits for the
    // answer carrying that cookie, which goes to `*answer`. Answers meant for earlier requests are
    // read and discarded. The reply queue is created when it does not exist. Only one client at a
    // time may await answers: two would take each other's.
    ClientStatus Ask(WireMessage request, WireMessage* answer);

    // The kind of the answer to a request of kind `request`; false when it is not answered.
    static bool AnswerKindOf(MessageKind request, MessageKind* answer);

    // Why the last call did not give kDone: one line, naming the queue.
    const std::string& error() const { return mError; }
    // The texts of the last message sent that were fitted to travel (see FitWireText), and how:
    // one line, empty when none was changed.
    const std::string& fitted() const { return mFitted; }

  private:
    ClientStatus Send(const WireMessage& message);
    ClientStatus AwaitAnswer(MessageQueue* replies, MessageKind kind, uint32_t cookie,
                             WireMessage* answer);
    // Empties the reply queue before a request, so that answers nobody took cannot fill it up.
    static void DiscardStaleAnswers(MessageQueue* replies);
    static uint32_t NewCookie();

    int mTimeoutMillis;
    std::string mError;
    std::string mFitted;
};
