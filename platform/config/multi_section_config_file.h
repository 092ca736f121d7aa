// Ordered sections of key/value entries held in memory, with a current section: the reading and
// editing side of the sectioned configuration files (call records, the download log).
//
// Text form. A section is its section word on a line of its own (when the file has one), the
// opening line ("{"), one line per entry, key and value joined by the separator ("key=value"),
// and the closing line ("}"). Lines end in "\n"; a final line may lack it. On reading:
//   - blank lines, and lines whose first non-blank text is the comment mark ("#"), are skipped
//     anywhere; blanks around keys, values and whole lines are dropped (so "\r\n" ends work);
//   - the section word line is optional before the opening line;
//   - an entry splits at the first separator, so a value may hold it;
//   - keys and values are unescaped as described in platform/config/config_text.h; saved text
//   escapes
//     them the same way, so any key and value without NUL reads back identical;
//   - a line equal to the end line (when one is given) outside a section ends the text.
// Anything else is rejected with a ParseError naming the line: an entry outside a section, an
// opening line inside one, a closing line outside one, a section left open at the end, a
// section word not followed by the opening line, a line without the separator, a NUL byte, an
// unknown escape.
//
// Cost. Each section is kept as the text it has in the file, in the form above, so saving only
// writes bytes and never formats them. A loaded file stays one buffer that its sections are
// slices of; a section added or edited gets its own heap block, formatted as it is written. An
// entry is looked up (and unescaped) only when asked for. Sections are indexed by a ring of
// (text, size) pairs, so adding a section at either end and deleting the first or last one take
// constant time whatever the number of sections; deleting one in the middle moves the shorter
// side of the ring. A section being filled keeps spare room to grow; the spare room is given
// back when another section becomes current.
//
// Not thread-safe: one thread at a time, or a lock held by the caller.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/uio.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/config/config_text.h"
#include "platform/config/section_ring.h"
#include "platform/util/file_util.h"

namespace Configuration {

class MultiSectionConfigFile {
  public:
    // The text syntax: `sectionWord` heads each section (null or "": none); `open` and `close`
    // are the bracket lines (a final "\n" is part of the line end; null: "{\n" and "}\n");
    // `separator` joins key and value (null: "="); a line beginning with `comment` is a
    // comment (null or "": no comments); a line equal to `endLine` ends the text and is written
    // after the last section (null or "": none). The bracket lines, the section word and the
    // end line must not contain the separator. Throws std::invalid_argument for an empty
    // bracket line, or a separator that is empty, starts or ends with a blank, starts with a
    // backslash, or holds a line end.
    MultiSectionConfigFile(const char* sectionWord, const char* open, const char* close,
                           const char* separator, const char* comment, const char* endLine);
    virtual ~MultiSectionConfigFile();
    MultiSectionConfigFile(const MultiSectionConfigFile&) = delete;
    MultiSectionConfigFile& operator=(const MultiSectionConfigFile&) = delete;

    // Replaces the content with the sections of text[0, size); `origin` names the text in
    // error messages. Throws ParseError for text not in the format, leaving no sections.
    void Parse(const char* text, size_t size, const std::string& origin);

    // The whole content in the text form above, exactly as it is saved.
    std::string Text() const;

    // Adds an empty section, before all others (`front` true) or after them, and makes it
    // current. Returns 1.
    int AddSection(bool front);
    // Appends an entry to the current section; duplicate keys are kept. 0 when no section is
    // current (or an argument is null), else 1.
    int AddSectionEntry(const char* key, const char* value);
    // The same for a key and a value whose lengths the caller knows: both are still
    // NUL-terminated, `keySize` and `valueSize` bytes long.
    int AddSectionEntry(const char* key, size_t keySize, const char* value, size_t valueSize);
    // Writes entries straight into the current section, without gathering them first: for a
    // writer whose keys are its own literals and whose values are mostly its own numbers and
    // tokens (a record's entries). They read as AddSectionEntry would write them. The section
    // is closed again when the appender ends, holding the entries written so far also when an
    // exception ends it early. The file must not change otherwise while the appender lives.
    class EntryAppender {
      public:
        // Throws std::logic_error when no section is current.
        explicit EntryAppender(MultiSectionConfigFile* file);
        ~EntryAppender();
        EntryAppender(const EntryAppender&) = delete;
        EntryAppender& operator=(const EntryAppender&) = delete;

        // An entry that the caller vouches needs no escaping (see config_text.h): a literal key
        // with a token, say. It is copied without a check; one that breaks the promise breaks
        // its line.
        void Plain(std::string_view key, std::string_view value) {
            char* out = Key(key, value.size());
            CopyText(out, value.data(), value.size());
            EndLine(out + value.size());
        }
        // An entry of a key that needs no escaping, with `value` in decimal.
        void Number(std::string_view key, unsigned long long value);
        void SignedNumber(std::string_view key, long long value);
        // An entry escaped where it needs it; `key` and `value` view NUL-terminated texts.
        void Checked(std::string_view key, std::string_view value);

      private:
        // Writes `key` and the separator, with room for a value of up to `valueRoom` bytes
        // and the line end after them; returns where the value goes.
        char* Key(std::string_view key, size_t valueRoom) {
            return WriteKey(Room(key.size() + mSeparatorSize + valueRoom + 1), key);
        }
        // Writes `key` and the separator at `out`, which has room for them; returns their end.
        char* WriteKey(char* out, std::string_view key) {
            CopyText(out, key.data(), key.size());
            out += key.size();
            if (mSeparatorSize == 1)
                *out = *mpSeparator;  // nearly every file's: cheaper than a copy of any size
            else
                CopyText(out, mpSeparator, mSeparatorSize);
            return out + mSeparatorSize;
        }
        void EndLine(char* out) {
            *out++ = '\n';
            mEnd = static_cast<size_t>(out - mpText);
        }
        // Where the next line goes, with room for `bytes` more and the closing lines.
        char* Room(size_t bytes) {
            return mEnd + bytes + mTailSize <= mpFile->mCurrentRoom ? mpText + mEnd : Grow(bytes);
        }
        char* Grow(size_t bytes);
        // An entry of `value` written in decimal by `format` (a writer of decimal.h).
        template <typename Value>
        void Decimal(std::string_view key, Value value, size_t (*format)(char*, Value));

        MultiSectionConfigFile* mpFile;
        char* mpText;  // the current section's text
        size_t mEnd;   // where its entries end
        const char* mpSeparator;
        size_t mSeparatorSize, mTailSize;
    };
    // Appends the entries of `source`'s current section to this file's current section, as
    // that section holds them: as if each were added here in turn. 0, adding nothing, when
    // either file has no current section or the two write entries differently (separator or
    // comment character); else 1.
    int AddSectionEntriesOf(const MultiSectionConfigFile& source);
    // Replaces the value of the current section's first entry with `key`, or appends the entry
    // when there is none. 0 when no section is current, else 1.
    int SetSectionEntry(const char* key, const char* value);
    // Copies the value of the current section's first entry with `key` into `buffer`: at most
    // `size` - 1 bytes and a NUL (nothing when `size` is 0). Non-zero when the entry exists;
    // 0, with `buffer` untouched, when it does not or no section is current.
    int GetSectionEntry(const char* key, char* buffer, unsigned size) const;

    // The current section's text, exactly as a save writes it: `*text` points into the object
    // and stays valid until the content is next changed. False, with nothing set, when no
    // section is current.
    bool CurrentSectionText(const char** text, size_t* size) const;

    // The number of entries of the current section (0 when none is current).
    unsigned GetEntryCount() const;
    // Copies the key and value of the current section's entry number `index` (from 0, in file
    // order). False when there is no such entry.
    bool GetEntry(unsigned index, std::string* key, std::string* value) const;
    // Copies every entry of the current section, in file order, into `*entries`, replacing what
    // it held (its strings are reused): one walk over the section, where GetEntry walks it up to
    // the entry asked for. Empty when no section is current.
    void GetEntries(std::vector<std::pair<std::string, std::string>>* entries) const;

    // Navigation. GotoFirstSection, GotoLastSection and GotoNextSection return non-zero when a
    // section is current afterwards.
    // Makes the first (newest) section current.
    int GotoFirstSection();
    // Makes the last (oldest) section current.
    int GotoLastSection();
    // Makes no section current; the next GotoNextSection makes the first one current. Non-zero
    // when there is a section to go to.
    int Restart();
    // Makes the section after the current one current (the first one after Restart, the one
    // that followed a deleted section after DeleteSection). 0, and no section current, when
    // there is none left.
    int GotoNextSection();

    // Removes the current section. No section is current afterwards, and GotoNextSection goes
    // on with the section that followed it, so sections can be deleted while walking them.
    // 0 when no section is current, else 1.
    int DeleteSection();
    // Removes all sections.
    void ClearAll();

    unsigned GetSectionCount() const { return mRing.Count(); }

  protected:
    // Replaces the content with the sections of `*text`, which is taken over (left empty) and
    // kept as the storage of the sections that are already in the saved form. Throws as Parse.
    void Load(FileBytes* text, const std::string& origin);
    // Appends the whole content, as Text() would give it, to `*pieces` as slices of the
    // sections' own bytes (neighbouring slices of the loaded buffer joined). The slices stay
    // valid until the content is next changed.
    void CollectPieces(std::vector<struct iovec>* pieces) const;
    // True when the content changed since the last MarkSaved (or construction).
    bool IsModified() const { return mModified; }
    void MarkSaved() { mModified = false; }

  private:
    // One section's text: a slice of mLoaded, or a heap block of its own.
    using Slot = SectionText;
    static const unsigned kNone = ~0u;

    Slot& At(unsigned position) const { return mRing.At(position); }
    bool IsLoaded(const char* text) const;
    void ReleaseSlot(Slot slot);
    void ReleaseLoaded();
    void MakeCurrent(unsigned position);
    void ShrinkCurrent();
    char* RoomForEntry(size_t extra);
    void FinishEntry(char* end);
    const char* FindEntryLine(const char* key) const;
    const char* EntriesBegin(const Slot& slot) const;
    const char* EntriesEnd(const Slot& slot) const;
    void ClearSlots();
    bool ScanSavedText();
    void ScanText(const std::string& origin);
    bool IsCanonicalEntry(const char* begin, const char* end, const char* separator,
                          bool special) const;
    void CheckEntry(const char* begin, const char* end, bool escaped, const std::string& origin,
                    unsigned line, const char** separator) const;
    void AppendCanonicalEntry(std::string* out, const char* begin, const char* end) const;
    Slot BuildSection(const char* entriesBegin, const char* entriesEnd) const;

    std::string mSectionWord, mOpen, mClose, mSeparator, mComment, mEndLine;
    // The lines that start and end every section's text, with their line ends.
    std::string mHead, mTail;
    // The loaded file; sections that are still slices of it point into it.
    FileBytes mLoaded;
    unsigned mLoadedSlices = 0;
    // The sections, first to last.
    SectionRing mRing;
    unsigned mCurrent = kNone;
    // The size of the current section's block when it is one of its own (it may hold spare room).
    size_t mCurrentRoom = 0;
    // Where GotoNextSection goes when no section is current (after Restart or DeleteSection).
    unsigned mResume = 0;
    bool mResumePending = false;
    // The size of the last section that was filled, a good first room for the next.
    size_t mRoomHint = 256;
    bool mModified = false;
};

}  // namespace Configuration
