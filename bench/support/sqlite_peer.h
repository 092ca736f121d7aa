// The store a device engineer would otherwise reach for: the same job as the recorder's databases
// done with SQLite. Three tables (stated, missed, failed calls) with one column per record field,
// the oldest row deleted when a table is at its limit, a transaction committed every save period,
// WAL journal with synchronous=FULL. Used only by the benchmarks, as the yardstick.
#pragma once

#include <stdint.h>

#include <string>

#include "platform/messaging/call_detail_report.h"

struct sqlite3;
struct sqlite3_stmt;

class SqlitePeer {
  public:
    // Opens (creating when absent) the database at `path`; `maxRecords` rows per table at most,
    // a commit every `savePeriod` reports. Exits with a message when SQLite fails.
    SqlitePeer(const std::string& path, unsigned maxRecords, unsigned savePeriod);
    // Commits what is pending and closes the database.
    ~SqlitePeer();
    SqlitePeer(const SqlitePeer&) = delete;
    SqlitePeer& operator=(const SqlitePeer&) = delete;

    // Stores one report of record type 1, 2 or 4 (statistics may be null). 1 on success, 0 for
    // another type.
    int AddCDR(int type, const CallDetailReport& report, const CallStatistics* statistics);
    // Commits the open transaction, if any.
    void Commit();

    uint64_t RowCount() const { return mCount[0] + mCount[1] + mCount[2]; }

  private:
    void Exec(const char* sql);
    sqlite3_stmt* Prepare(const std::string& sql);
    void Check(int result, const char* what);
    void BindStream(int* column, int index, const MediaStreamStatistics& stream);

    sqlite3* mpDb = nullptr;
    sqlite3_stmt* mpInsert[3] = {};
    sqlite3_stmt* mpDeleteOldest[3] = {};
    uint64_t mCount[3] = {};
    uint64_t mNextID[3] = {};
    unsigned mMaxRecords;
    unsigned mSavePeriod;
    unsigned mUncommitted = 0;
    bool mInTransaction = false;
};
