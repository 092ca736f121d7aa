// A client of the system log that never hangs and may run inside a signal handler: records are
// formatted into a fixed buffer and sent over the "/dev/log" socket with plain system calls,
// without locks and without allocation. A logger whose queue is full gets a short while, at most
// a quarter of a second per connection in all, to make room; after that, and whenever the logger
// is absent, records are dropped instead of holding up the sender. Each record looks like one
// sent after openlog(ident, LOG_PID, LOG_USER): "<priority>Mmm dd hh:mm:ss ident[pid]: text".
#pragma once

#include <time.h>

class SystemLog {
  public:
    SystemLog() = default;
    ~SystemLog() { Close(); }
    SystemLog(const SystemLog&) = delete;
    SystemLog& operator=(const SystemLog&) = delete;

    // Connects to the system log. Records carry `ident` (not copied; must outlive the
    // connection) and the time stamp of `local`. False, with records dropped, when nothing listens.
    bool Open(const char* ident, const struct tm& local);

    // Sends one record at `level` (LOG_ERR, LOG_WARNING, ...) of the user facility. A record
    // longer than 2 KiB is cut. Does nothing when not connected; drops the record when the
    // logger cannot take it within what is left of the connection's waiting budget.
    void Send(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Ends the connection; Open may follow.
    void Close();

  private:
    static constexpr int kWaitBudgetMs = 250;

    bool WaitForRoom();

    int mFd = -1;
    int mWaitLeftMs = 0;
    bool mStream = false;  // a stream socket wants each record ended by a NUL
    const char* mpIdent = "";
    char mStamp[64] = {};  // "Mmm dd hh:mm:ss"
};
