// Where `cdrctl show` takes its records from: one record at a time, newest first, so that the
// listing never holds more than the record in hand, whatever the size of what it reads.
#pragma once

#include <stddef.h>

#include <memory>
#include <string>

#include "platform/config/multi_section_config_file.h"
#include "tools/record_filter.h"

class RecordSource {
  public:
    virtual ~RecordSource() = default;

    // Puts the next record into `*record` (replacing what it held). False, with `*record`
    // unspecified, when there are no more. Throws std::exception (FileError, ParseError naming the
    // file and the line) when the records cannot be read; the records given before stay valid.
    virtual bool Next(RecordEntries* record) = 0;

    // Starts again at the first record, so a listing can take a second pass over the same
    // records. Throws FileError when that is not possible.
    virtual void Rewind() = 0;
};

// The records of a database or of the download log, read from the file a piece at a time.
//
// The file is read `pieceSize` bytes at a time; each piece is cut after its last closing line
// and parsed on its own, as a load of the whole file would parse it (the same checks, the same
// errors, with the line numbers of the whole file). A section longer than a piece makes the
// piece grow to hold it, so memory is bounded by the piece size or the largest section.
//
// The file stays open from construction on, so a second pass after Rewind reads the same file
// even when the recorder replaces it meanwhile (it saves by renaming a new file over the old).
class RecordFileSource : public RecordSource {
  public:
    static constexpr size_t kDefaultPieceSize = 256u << 10;

    // Opens the file at `path`: a database (`downloadLog` false) or the download log. An absent
    // file has no records. Throws FileError when it exists but cannot be opened or is not a
    // regular file.
    RecordFileSource(const std::string& path, bool downloadLog,
                     size_t pieceSize = kDefaultPieceSize);
    ~RecordFileSource() override;
    RecordFileSource(const RecordFileSource&) = delete;
    RecordFileSource& operator=(const RecordFileSource&) = delete;

    bool Next(RecordEntries* record) override;
    void Rewind() override;

  private:
    bool ParseNextPiece();
    void ReadMore();
    size_t CutPoint() const;

    std::string mPath;
    size_t mPieceSize;
    // The sections of the piece parsed last, walked one by one.
    std::unique_ptr<Configuration::MultiSectionConfigFile> mpPiece;
    int mFd;
    // Bytes read and not parsed yet; the lines before them; whether the file has been read out.
    std::string mPending;
    unsigned mLinesBefore = 0;
    bool mAtEnd = false;
};
