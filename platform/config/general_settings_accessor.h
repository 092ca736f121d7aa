// The device's general settings that concern call detail recording, read from
// "general-settings.conf" under the configuration root.
//
// The configuration root is the value of VELK_PATH when it is set, else "/etc/velk-conf/"; file
// names are appended to it with no separator added. The file holds "key=value" lines ("#"
// comments, escapes as in platform/config/config_text.h):
//   cdr_enabled     recording switch, 0 or any positive number up to 2147483647 (default 1)
//   cdr_max_stated, cdr_max_missed, cdr_max_failed      record limits (default 1000 each)
//   cdr_save_stated, cdr_save_missed, cdr_save_failed   records between saves (default 10 each)
//   cdr_trace_max_kb   largest size of the trace log in KiB, 0 to 4194303; 0: no cap of its own
//                      (default 1024)
//   cdr_journal     0 turns the record journal off (default 1), read at start-up
//   cdr_journal_sync_reports, cdr_journal_sync_ms   under continuous load the journal is synced
//                   at least every so many reports (default 64) and milliseconds (default 50)
// The limits and periods are decimal numbers from 0 to 4294967295, digits only. The file is read
// forgivingly: a value that is empty, not such a number or out of range leaves its key at the
// value in force (the default until a reading succeeded) with one warning line naming the file,
// the line and the key; a file that cannot be read (no permission, a folder, a FIFO) leaves every
// key at the value in force with one warning line.
#pragma once

#include <stdint.h>

class GeneralSettingsAccessor {
  public:
    // The shared instance, counted: every non-null result is released by one CloseInstance.
    //   load true:  when no instance is open, reads the file afresh (VELK_PATH is read now);
    //               when one is open, returns it as it is.
    //   load false: returns the open instance, or null when none is open; never reads.
    // An absent file or key gives the default; bad values and unreadable files are forgiven as
    // described above. Null only when the instance cannot be made (no memory).
    static GeneralSettingsAccessor* GetInstance(bool load);
    // Releases one use of the shared instance; the last release destroys it. Does nothing when
    // no instance is open.
    static void CloseInstance();

    int32_t mCDREnabled;
    uint32_t mCDRMaxStated, mCDRMaxMissed, mCDRMaxFailed;
    uint32_t mCDRSaveStated, mCDRSaveMissed, mCDRSaveFailed;
    uint32_t mCDRTraceMaxKb;
    uint32_t mCDRJournal, mCDRJournalSyncReports, mCDRJournalSyncMs;

  private:
    GeneralSettingsAccessor();
    void Load();
    // Sets the members from `values`, one a setting in the order of the keys above.
    void Take(const uint32_t* values);
};
