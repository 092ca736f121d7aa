// The recorder's one service object: the messenger on both queues, and the owner of everything the
// service keeps: the store's settings, the three CDR databases with their counters, the statistics
// download state and the trace logger. Its handlers live beside the data they work on: the
// databases and the record writer in store/, the download in download/.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/cdr_common_messenger.h"
#include "platform/config/multi_section_file.h"
#include "platform/util/sock_addr.h"
#include "platform/util/thread_mutex.h"
#include "store/cdr_settings.h"

class HealthMonitor;
class LogManager;
namespace RecordJournal {
class Writer;
struct Contents;
struct Entry;
enum class Kind : uint8_t;
}  // namespace RecordJournal

// Per-database state of the store. Every array is indexed 0 = stated calls database (record type
// 1, mask bit 1), 1 = missed calls (type 2, bit 2), 2 = failed calls (type 4, bit 4).
struct CDRFiles {
    CDRFiles();
    ~CDRFiles();
    CDRFiles(const CDRFiles&) = delete;
    CDRFiles& operator=(const CDRFiles&) = delete;

    Configuration::MultiSectionFile* mpFile[3];  // owned; null while a database is closed
    std::string mFileName[3];                    // the path each database was opened on
    uint32_t mMaxRecords[3];                     // most records a database keeps
    uint32_t mSavePeriod[3];                     // records added between two saves
    // Records of a type counted toward the save period since its last save began, also with
    // recording off; a flush writes a database while it is not 0. Not the health monitor's count
    // of records not yet on storage, which a failed save leaves standing.
    uint32_t mUnsaved[3];
    uint32_t mNextID[3];  // "ID" of the next record
    // The first failure to open the databases sets files aside and tries again; a second one in
    // the life of the store (the life of the process) leaves them closed.
    bool mOpenRetried;
    ThreadMutex* mpMutex;  // owned; held around every database operation
    char* mpBuffer;        // owned, kBufferSize bytes of scratch text
    SockAddr mAddr;        // formats IPv4 addresses

    static const unsigned kBufferSize = 256;
};

class CDRManager : public CDRCommonMessenger {
  public:
    // Builds the messengers, the settings, the trace logger and the store block, then runs Init().
    CDRManager();
    // Releases everything; saves nothing (records since the last save are not written).
    ~CDRManager() override;

    // Start-up: settings, databases, limits, download settings. Never stops the start-up.
    void Init();
    // The recorder runs without an instance lock, for `reason` (empty: it holds one); the health
    // record says so.
    void SetRunningUnlocked(const std::string& reason);
    // Selects both queues and serves them; returns only if the loop ends.
    void Run();

    // printf-style trace line into the trace log. Needs the logger (constructed first).
    static void TRACEX(const char* format, ...) __attribute__((format(printf, 1, 2)));

    // Between messages: writes the health record when it is due; returns how long the next wait
    // may last.
    int OnLoopTurn() override;

    // Party-state handlers: trace the new state.
    void OnCDRPartyStateChanged(bool connected) override;
    int OnCgiPartyStateChanged(bool connected) override;

    // Settings (store/cdr_settings_reader.cpp): fills mSettings from the general settings and
    // paths; true when everything was read and all three paths composed.
    bool GetCDRData();

    // Databases (store/cdr_databases.cpp).
    bool InitFiles(const char* stated, const char* missed, const char* failed);
    bool InitSizes(unsigned maxStated, unsigned maxMissed, unsigned maxFailed, unsigned saveStated,
                   unsigned saveMissed, unsigned saveFailed);
    bool IsCDRFilesExist();
    int OnClear(int mask) override;
    int OnFlush(int mask) override;
    int OnUpdateCDRSettings() override;

    // Record writer (store/cdr_record_writer.cpp): 1 when handled, 0 when refused or failed.
    int OnAddCDR(int type, const CallDetailReport& report,
                 const CallStatistics* statistics) override;

    // Statistics download (download/auto_download.cpp).
    int InitAutoDownloadSettings();
    int OnUpdateCDRDownloadSettings() override;
    int OnDownloadNow() override;

    // When the queues run dry (the loop's idle work): syncs the journal, compacts it when due
    // (unless the last compaction failed: appends try again when the file is full), and writes
    // the held trace lines. Public for tools that drive the handler without the loop.
    void CatchUpWhileIdle();

    static LogManager* mpLogger;
    // Where the health monitor's alarms go besides the trace log: the system log. Tests point it
    // elsewhere.
    static void (*mpAlarmSink)(int priority, const char* text);

  protected:
    CDRSettings mSettings;
    CDRFiles* mpFiles;
    int mAutoDownload;
    int mDownloadCnt;
    Configuration::MultiSectionFile* mpDownStatFile;
    HealthMonitor* mpHealth;           // owned
    RecordJournal::Writer* mpJournal;  // owned; null while the journal is off
    uint32_t mJournalPending;          // reports appended since the journal's last sync
    long long mJournalSince;           // when the first of them was (BootMillis)
    bool mCompactionFailed;            // the last compaction failed (told once)
    bool mDownloadCommitted;           // the running download's marker is in the journal

  private:
    // The idle work has something to do.
    bool IdleWorkPending() const;
    // Saves database `store`, or the download log for HealthRecord::kDownloadLog, and tells the
    // health monitor how it went. Throws what the save throws.
    void SaveFile(int store);

    // Opens the databases at the non-null paths. The first failure in the life of the process
    // sets files aside and tries again: the file that ran out of memory, or else every one (the
    // "cannot be opened" rule); a second failure leaves them closed and returns false.
    bool OpenFilesOnce(const char* const paths[3]);
    // Opens the databases at the non-null paths, `*failing` naming the one being opened; throws
    // what the file class throws.
    void OpenFiles(const char* const paths[3], int* failing);
    // Deletes the three file objects: every database closed.
    void CloseFiles();
    // True, with a warning line naming `path` and what it is and the reason noted for the health
    // record, when `path` is a FIFO, a device, a socket or a folder: store `store` (a database
    // index or HealthRecord::kDownloadLog) then stays closed and nothing touches the path.
    bool KeepClosedIfNotRegular(int store, const std::string& path, const char* caller);
    // Recovers the numbering of database `index` from its newest record, or renumbers it.
    void RecoverNumbering(int index);
    // Deletes the oldest records of database `index` above `maxRecords`; saves once if any went.
    void TrimToLimit(int index, unsigned maxRecords);
    // Runs `change(index, file)` on each open database in `mask`, then saves the download log
    // while automatic download is on. Call with the store's lock held; throws what they throw.
    template <typename Change>
    void ChangeDatabases(int mask, Change change);
    // Empties and reopens the databases in `mask` after a failed clear; false if that fails too.
    bool RebuildFiles(int mask);
    // Moves the files at the non-null paths aside to "<path>.bad", tracing each one.
    void SetAsideUnreadableFiles(const char* const paths[3], const char* reason);
    // Moves the unreadable file at `path` aside as "<path>.bad" (the two earlier copies kept as
    // ".bad.1" and ".bad.2"; through a trusted link, its target is moved) or, when that fails and
    // `mayRemove`, removes it; one warning line, beginning with `caller`, says which happened.
    // Nothing when there is no file; only a regular file is ever moved or removed.
    static void SetAsideUnreadable(const char* caller, const std::string& path,
                                   bool mayRemove = true);
    // After memory ran out loading `path`: a warning line saying so, then the file set aside,
    // never removed.
    static void SetAsideTooLarge(const char* caller, const std::string& path);

    using Entries = Configuration::MultiSectionConfigFile::EntryAppender;
    // Writes the new record, numbered `id`, into the current section of `file`.
    void WriteRecord(Configuration::MultiSectionFile* file, unsigned long id,
                     const CallDetailReport& report, const CallStatistics* statistics);
    void AddRecordEntries(Entries* out, const CallDetailReport& report,
                          const CallStatistics* statistics);
    // `keys`: the stream's entry keys, in the order of the writer's key table.
    void AddStream(Entries* out, const MediaStreamStatistics& stream,
                   const std::string_view keys[]);
    void AddFax(Entries* out, const FaxStatistics& fax);

    // Journal (store/cdr_journal_use.cpp).
    // Start of start-up: reads the journal, once, into `*contents`. A journal that cannot be read
    // is warned about, set aside and taken as none.
    void ReadJournalAtStart(RecordJournal::Contents* contents);
    // End of start-up: adds the live records of the journal read into `*contents` to their open
    // files as if just handled (unsaved, limits applied, records already in the file skipped),
    // advances the numbering past them, traces what was recovered, then keeps the journal for
    // appending (or removes it when the journal is off).
    void ReplayJournal(const RecordJournal::Contents& contents);
    // Adds the record of `entry` as the newest of `file`, its open file, dropping the oldest at
    // the file's limit; false, with a warning, when its text is not one record of that file.
    bool ReplayRecord(const RecordJournal::Entry& entry, Configuration::MultiSectionFile* file);
    // Appends the record just added (the current section of the database `index` when
    // `toDatabase`, and of the download log while automatic download is on) with one write;
    // syncs when enough reports or time have gathered since the last sync.
    void JournalRecord(bool toDatabase, int index, int type);
    // After an append: warns when the compaction it ran failed, or traces that one succeeded
    // again after a failure (each once).
    void NoteCompaction();
    // Counts a report appended to the journal; true when the group commit calls for a sync now.
    bool JournalSyncDue();
    // Appends a marker of `kind` for `target` (a database index or the download log), whose
    // earlier entries then no longer count.
    // `name`: the payload, the outbox file's name of a download-marker.
    void JournalMarker(RecordJournal::Kind kind, int target, const std::string& name = "");
    // The download's commit: between staging the outbox file `name` and publishing it, a
    // download-marker naming it is appended and synced, so that after a crash the file is
    // published and the download log emptied, or neither. True when the download may go on.
    bool CommitDownload(const std::string& name);
    // At start-up, before the replay: a download log whose last journal event is a download
    // holds the records that download took (the crash came before it was emptied): it is
    // emptied now.
    void EmptyDownloadedLog(const std::vector<RecordJournal::Entry>& entries);
    // Syncs the journal's appended entries, if any.
    void SyncJournal();
    bool JournalHasUnsynced() const;
    // A compaction is due and the last one did not fail.
    bool JournalCompactionDue() const;
    // After a failed journal write: warns with `reason`, removes the journal and goes on
    // without it.
    void DropJournal(const char* reason);

    // InitAutoDownloadSettings without telling the health monitor. On 0 the reason is in
    // mDownloadSettingsError.
    int ReadAutoDownloadSettings();
    // After InitAutoDownloadSettings returned 0: one warning line with the reason it stopped.
    void WarnDownloadSettingsUnread();
    // Before each new record while automatic download is on: downloads at the threshold and
    // keeps the log within twice the threshold. Throws when the download throws.
    void UpkeepDownloadLog();
    // Opens the download log; one that cannot be read is set aside and a new one started. A
    // FIFO, a device, a socket or a folder at its path leaves the log closed, with a warning
    // line. Throws when even a new log cannot be started.
    void OpenDownloadLog();
    // At start-up, before the first download: settles the outbox files that a download staged
    // but had not published when the recorder ended, by the download-markers among `journal`
    // (the journal's entries). Never throws.
    void SettleStagedDownloads(const std::vector<RecordJournal::Entry>& journal);
    // Removes the download log when it is a regular file; a warning line when it cannot go.
    void RemoveDownloadLog();
    // Hands the download log's records to the outbox as one file; true once the file is there.
    // A failure keeps its reason in mDownloadFailure; a success ends any dropping of records.
    bool AttemptDownload();
    // After a successful download: empties the download log and saves it.
    void EmptyDownloadLog();

    std::string mDownloadSettingsError;  // why the download settings were last not read
    std::string mDownloadFailure;        // why the last download attempt failed
};
