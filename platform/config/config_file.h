// A read-only file of "key=value" settings, one a line, such as the download settings.
#pragma once

#include <stddef.h>

#include <string>
#include <utility>
#include <vector>

namespace Configuration {

// Lines are "key" separator "value"; blanks around key and value are dropped; blank lines, lines
// beginning with the comment mark and lines without the separator are skipped, so files shared
// with other programs (shell-style settings) read without complaint.
class ConfigFile {
  public:
    // Reads the file at `path` (null: no file, no entries; text can then be given to Parse).
    //   unescape:    true: values (and keys) are unescaped as described in
    //                platform/config/config_text.h, for files this library writes; a bad escape
    //                throws ParseError. false: they are taken as they stand.
    //   stripQuotes: true: one pair of matching double or single quotes around a value is
    //                removed ("name='x'" gives x).
    //   lastWins:    true: of several lines with one key, the last counts; false: the first.
    //   separator:   between key and value (null or "": "=").
    //   comment:     the comment mark (null or "": no comments).
    //   endLine:     a line equal to it ends the settings; the rest is not read (null or "":
    //                none).
    // An absent file gives no entries. Throws FileError when the file exists but cannot be read.
    ConfigFile(const char* path, bool unescape, bool stripQuotes, bool lastWins,
               const char* separator, const char* comment, const char* endLine);

    // Replaces the entries with those of text[0, size); `origin` names it in error messages.
    // Throws ParseError (unescaping only) for a bad escape, leaving no entries.
    void Parse(const char* text, size_t size, const std::string& origin);

    // Copies the value of `key` into `buffer`: at most `size` - 1 bytes and a NUL (nothing when
    // `size` is 0). Non-zero when the key was found; 0, with `buffer` untouched, otherwise.
    int GetEntry(const char* key, char* buffer, unsigned size) const;

    // The value of `key`, whole, or null when the key is absent. Valid until the next Parse.
    const std::string* Find(const char* key) const;

  private:
    void Add(std::string key, std::string value);

    bool mUnescape, mStripQuotes, mLastWins;
    std::string mSeparator, mComment, mEndLine;
    std::vector<std::pair<std::string, std::string>> mEntries;
};

}  // namespace Configuration
