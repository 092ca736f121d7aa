#include "bench/support/sqlite_peer.h"

#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>

#include "platform/media/media_control.h"
#include "platform/util/sock_addr.h"

namespace {

const char* const kTables[3] = {"stated_calls", "missed_calls", "failed_calls"};

// One stream's columns; the second stream's carry the suffix "_2".
const char* const kStreamColumns[] = {
    "tx_pkt INTEGER",     "tx_enc TEXT",           "tx_pkt_sz INTEGER",     "rx_pkt INTEGER",
    "rx_enc TEXT",        "rx_pkt_sz INTEGER",     "rx_lost INTEGER",       "rx_jtr INTEGER",
    "rx_max_del INTEGER", "rx_delay_incr INTEGER", "rx_delay_decr INTEGER", "loc_addr TEXT",
    "loc_port INTEGER",   "rem_addr TEXT",         "rem_port INTEGER",      "srtp INTEGER"};
const int kStreamColumnCount = sizeof kStreamColumns / sizeof kStreamColumns[0];

std::string Columns() {
    std::string columns =
        "id INTEGER PRIMARY KEY, st INTEGER, dur INTEGER, called TEXT, called_type TEXT, "
        "caller TEXT, caller_type TEXT, guid TEXT, ocd TEXT, cr TEXT, auth_un TEXT, "
        "auth_type TEXT, forwarder TEXT, transferer TEXT, hop INTEGER, clir_caller INTEGER";
    for (const char* suffix : {"", "_2"}) {
        for (const char* column : kStreamColumns) {
            std::string c = column;
            c.insert(c.find(' '), suffix);
            columns += ", " + c;
        }
    }
    return columns +
           ", fax_rx_pkt INTEGER, fax_rx_dpl_pkt INTEGER, fax_rx_lost INTEGER, "
           "fax_rx_bad_pkt INTEGER, fax_tx_pkt INTEGER, fax_tx_dpl_pkt INTEGER, "
           "fax_anamnesis TEXT";
}

const int kColumnCount = 16 + 2 * kStreamColumnCount + 7;

void BindText(sqlite3_stmt* statement, int column, const std::string& text, bool always) {
    if (text.empty() && !always)
        sqlite3_bind_null(statement, column);
    else
        sqlite3_bind_text(statement, column, text.c_str(), static_cast<int>(text.size()),
                          SQLITE_STATIC);
}

void BindCopy(sqlite3_stmt* statement, int column, const char* text) {
    sqlite3_bind_text(statement, column, text, -1, SQLITE_TRANSIENT);
}

}  // namespace

SqlitePeer::SqlitePeer(const std::string& path, unsigned maxRecords, unsigned savePeriod)
    : mMaxRecords(maxRecords), mSavePeriod(savePeriod) {
    Check(sqlite3_open(path.c_str(), &mpDb), "open");
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=FULL");
    std::string placeholders = "?";
    for (int i = 1; i < kColumnCount; ++i) placeholders += ",?";
    for (int i = 0; i < 3; ++i) {
        const std::string table = kTables[i];
        Exec(("CREATE TABLE IF NOT EXISTS " + table + " (" + Columns() + ")").c_str());
        mpInsert[i] = Prepare("INSERT INTO " + table + " VALUES (" + placeholders + ")");
        mpDeleteOldest[i] =
            Prepare("DELETE FROM " + table + " WHERE id = (SELECT MIN(id) FROM " + table + ")");
        sqlite3_stmt* count = Prepare("SELECT COUNT(*), IFNULL(MAX(id) + 1, 0) FROM " + table);
        Check(sqlite3_step(count) == SQLITE_ROW ? SQLITE_OK : SQLITE_ERROR, "count");
        mCount[i] = static_cast<uint64_t>(sqlite3_column_int64(count, 0));
        mNextID[i] = static_cast<uint64_t>(sqlite3_column_int64(count, 1));
        sqlite3_finalize(count);
    }
}

SqlitePeer::~SqlitePeer() {
    Commit();
    for (int i = 0; i < 3; ++i) {
        sqlite3_finalize(mpInsert[i]);
        sqlite3_finalize(mpDeleteOldest[i]);
    }
    sqlite3_close(mpDb);
}

void SqlitePeer::Exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(mpDb, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        fprintf(stderr, "sqlite: %s: %s\n", sql, error != nullptr ? error : "?");
        exit(2);
    }
}

sqlite3_stmt* SqlitePeer::Prepare(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    Check(sqlite3_prepare_v2(mpDb, sql.c_str(), -1, &statement, nullptr), sql.c_str());
    return statement;
}

void SqlitePeer::Check(int result, const char* what) {
    if (result == SQLITE_OK || result == SQLITE_DONE || result == SQLITE_ROW) return;
    fprintf(stderr, "sqlite: %s: %s\n", what, sqlite3_errmsg(mpDb));
    exit(2);
}

void SqlitePeer::Commit() {
    if (!mInTransaction) return;
    Exec("COMMIT");
    mInTransaction = false;
    mUncommitted = 0;
}

void SqlitePeer::BindStream(int* column, int index, const MediaStreamStatistics& s) {
    sqlite3_stmt* st = mpInsert[index];
    char name[256];
    SockAddr address;
    auto number = [&](bool present, int64_t value) {
        if (present)
            sqlite3_bind_int64(st, (*column)++, value);
        else
            sqlite3_bind_null(st, (*column)++);
    };
    auto codec = [&](bool present, int value) {
        if (present) {
            GetNameByDspCodec(value, name);
            BindCopy(st, *column, name);
        } else {
            sqlite3_bind_null(st, *column);
        }
        ++*column;
    };
    auto dotted = [&](bool present, uint32_t value) {
        if (present) {
            address = static_cast<unsigned long>(value);
            BindCopy(st, *column, address.DottedDecimal());
        } else {
            sqlite3_bind_null(st, *column);
        }
        ++*column;
    };
    const bool tx = s.txPackets != 0, rx = s.rxPackets != 0;
    number(tx, s.txPackets);
    codec(tx, s.txCodec);
    number(tx && s.txPacketSize != 0, s.txPacketSize);
    number(rx, s.rxPackets);
    codec(rx, s.rxCodec);
    number(rx && s.rxPacketSize != 0, s.rxPacketSize);
    number(rx, s.rxLost);
    number(rx, s.rxJitter);
    number(rx, s.rxMaxDelay);
    // 65535 ("not available") is stored as NULL.
    number(rx && s.rxDelayIncrease != 65535, s.rxDelayIncrease);
    number(rx && s.rxDelayDecrease != 65535, s.rxDelayDecrease);
    dotted(rx && s.localAddress != 0, s.localAddress);
    number(rx && s.localPort != 0, s.localPort);
    dotted(rx && s.remoteAddress != 0, s.remoteAddress);
    number(rx && s.remotePort != 0, s.remotePort);
    number(rx && s.srtp != 0, 1);
}

int SqlitePeer::AddCDR(int type, const CallDetailReport& r, const CallStatistics* statistics) {
    const int index = type == 1 ? 0 : type == 2 ? 1 : type == 4 ? 2 : -1;
    if (index < 0) return 0;
    if (!mInTransaction) {
        Exec("BEGIN");
        mInTransaction = true;
    }
    if (mCount[index] >= mMaxRecords) {
        Check(sqlite3_step(mpDeleteOldest[index]), "delete");
        sqlite3_reset(mpDeleteOldest[index]);
        --mCount[index];
    }
    sqlite3_stmt* st = mpInsert[index];
    int column = 1;
    sqlite3_bind_int64(st, column++, static_cast<int64_t>(mNextID[index]++));
    sqlite3_bind_int64(st, column++, r.startTime);
    sqlite3_bind_int64(st, column++, r.duration);
    BindText(st, column++, r.called, true);
    sqlite3_bind_text(st, column++, CallTypeToToken(r.calledType), -1, SQLITE_STATIC);
    BindText(st, column++, r.caller, true);
    sqlite3_bind_text(st, column++, CallTypeToToken(r.callerType), -1, SQLITE_STATIC);
    BindText(st, column++, r.guid, false);
    BindText(st, column++, r.ocd, false);
    BindText(st, column++, r.cr, false);
    BindText(st, column++, r.authUserName, false);
    if (r.authUserName.empty())
        sqlite3_bind_null(st, column++);
    else
        sqlite3_bind_text(st, column++, CDRAuthTypeToToken(r.authType), -1, SQLITE_STATIC);
    BindText(st, column++, r.forwarder, false);
    BindText(st, column++, r.transferer, false);
    sqlite3_bind_int64(st, column++, r.hop);
    if (r.clirCaller != 0)
        sqlite3_bind_int(st, column++, 1);
    else
        sqlite3_bind_null(st, column++);
    static const MediaStreamStatistics kNoStream;
    BindStream(&column, index, statistics != nullptr ? statistics->streams[0] : kNoStream);
    BindStream(&column, index, statistics != nullptr ? statistics->streams[1] : kNoStream);
    const bool fax =
        statistics != nullptr && (statistics->fax.rxPackets != 0 || statistics->fax.txPackets != 0);
    for (int i = 0; i < 7; ++i) sqlite3_bind_null(st, column + i);
    if (fax) {
        const FaxStatistics& f = statistics->fax;
        sqlite3_bind_int64(st, column, f.rxPackets);
        sqlite3_bind_int64(st, column + 1, f.rxDuplicatePackets);
        sqlite3_bind_int64(st, column + 2, f.rxLost);
        sqlite3_bind_int64(st, column + 3, f.rxBadPackets);
        sqlite3_bind_int64(st, column + 4, f.txPackets);
        sqlite3_bind_int64(st, column + 5, f.txDuplicatePackets);
        BindText(st, column + 6, f.anamnesis, true);
    }
    Check(sqlite3_step(st), "insert");
    sqlite3_reset(st);
    ++mCount[index];
    if (++mUncommitted >= mSavePeriod) Commit();
    return 1;
}
