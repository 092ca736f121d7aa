// The device's general paths that concern call detail recording: the names of the three call
// record databases, kept in "general-paths.conf" under the configuration root (VELK_PATH when
// set, else "/etc/velk-conf/", with the file name appended directly). Keys: cdr_db_stated,
// cdr_db_missed, cdr_db_failed; an absent file or key gives an empty name. Values are escaped as
// in platform/config/config_text.h; a backslash that starts no escape is kept as written.
#pragma once

#include <memory>
#include <string>

class GeneralPaths {
  public:
    // The shared instance, counted like GeneralSettingsAccessor::GetInstance: `load` true reads
    // the file when no instance is open, `load` false only returns an open one. A file that
    // cannot be read (no permission, a folder, a FIFO) gives the names of the last reading (empty
    // until one succeeded) with a warning line naming the reason. Null only when the instance
    // cannot be made (no memory).
    static GeneralPaths* GetInstance(bool load);
    // Releases one use of the shared instance; the last release destroys it.
    static void CloseInstance();
    // Reads "general-paths.conf" under `root` into an instance of the caller's own, apart from
    // the shared one: for tools that read another root than the recorder's. Throws FileError
    // when the file exists but cannot be read, ParseError when it is malformed.
    static std::unique_ptr<GeneralPaths> Read(const std::string& root);

    virtual ~GeneralPaths();

    // Writes the three names to the file the instance was loaded from, crash-safely: each key's
    // first line gets the new value, keys the file lacks are appended (empty names are not),
    // and every other line and comment stays as it was. Returns 1 when written. Never throws: on
    // failure (a read-only folder, a file that cannot be read back) it returns 0, the old file
    // stays as it was, and a warning line names the file and the reason, once per instance for
    // one reason.
    virtual int Store();

    // The name of database `index` (0 stated, 1 missed, 2 failed): one of the three below.
    std::string& DatabaseName(int index);
    const std::string& DatabaseName(int index) const;

    std::string mCDRStatedDb, mCDRMissedDb, mCDRFailedDb;

  protected:
    explicit GeneralPaths(const std::string& path);

  private:
    void Load();
    void Write();

    std::string mPath;
    std::string mLastStoreError;  // what the last failed Store warned of
};
