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
// Cost. Each section is one heap block holding a small header and its entries packed as
// "key\0value\0key\0value\0..."; sections are linked both ways, so adding a section at either
// end and deleting any section take constant time whatever the number of sections. A section
// being filled keeps spare room to grow; the spare room is given back when another section
// becomes current.
//
// Not thread-safe: one thread at a time, or a lock held by the caller.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace Configuration {

class MultiSectionConfigFile {
  public:
    // The text syntax: `sectionWord` heads each section (null or "": none); `open` and `close`
    // are the bracket lines (a final "\n" is part of the line end; null: "{\n" and "}\n");
    // `separator` joins key and value (null: "="); a line beginning with `comment` is a
    // comment (null or "": no comments); a line equal to `endLine` ends the text and is written
    // after the last section (null or "": none). The bracket lines, the section word and the
    // end line must not contain the separator. Throws std::invalid_argument for an empty
    // bracket line, or a separator that is empty, starts with a blank or a backslash, or holds a
    // line end.
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
    // Replaces the value of the current section's first entry with `key`, or appends the entry
    // when there is none. 0 when no section is current, else 1.
    int SetSectionEntry(const char* key, const char* value);
    // Copies the value of the current section's first entry with `key` into `buffer`: at most
    // `size` - 1 bytes and a NUL (nothing when `size` is 0). Non-zero when the entry exists;
    // 0, with `buffer` untouched, when it does not or no section is current.
    int GetSectionEntry(const char* key, char* buffer, unsigned size) const;

    // The number of entries of the current section (0 when none is current).
    unsigned GetEntryCount() const;
    // Copies the key and value of the current section's entry number `index` (from 0, in file
    // order). False when there is no such entry.
    bool GetEntry(unsigned index, std::string* key, std::string* value) const;

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

    unsigned GetSectionCount() const { return mCount; }

  protected:
    // True when the content changed since the last MarkSaved (or construction).
    bool IsModified() const { return mModified; }
    void MarkSaved() { mModified = false; }

  private:
    struct Section;

    Section* NewSection(const char* entries, size_t size, unsigned entryCount);
    void Append(Section* section, bool front);
    void Unlink(Section* section);
    Section* Resize(Section* section, size_t capacity);
    void Reserve(size_t extra);
    void MakeCurrent(Section* section);
    char* FindEntry(const char* key) const;
    size_t MostTextOf(const Section& section) const;
    char* WriteSectionText(const Section& section, char* out) const;
    void ParseText(const char* text, size_t size, const std::string& origin);
    // Writes the entry of line [begin, end) as "key\0value\0" to `out` (room for the line's
    // length + 1) and returns the end of what it wrote.
    char* ParseEntry(const char* begin, const char* end, bool escaped, const std::string& origin,
                     unsigned line, char* out) const;

    std::string mSectionWord, mOpen, mClose, mSeparator, mComment, mEndLine;
    Section* mpHead = nullptr;
    Section* mpTail = nullptr;
    Section* mpCurrent = nullptr;
    // Where GotoNextSection goes when no section is current (after Restart or DeleteSection).
    Section* mpResume = nullptr;
    bool mResumePending = false;
    unsigned mCount = 0;
    bool mModified = false;
};

}  // namespace Configuration
