// A small record kept as key=value lines, one value per line, which one process writes (replacing
// the whole file crash-safely, see file_util.h) and others read: the recorder's and the delivery
// agent's health records. A record type lists its keys once, each bound to the member holding its
// value; formatting and parsing walk the same list, so the two never disagree.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// How the last save or delivery went.
enum class Outcome { kNone, kOk, kFailed };

// "none", "ok" or "failed".
const char* OutcomeName(Outcome outcome);

// One key of a record and the member that holds its value. The member's type decides the value's
// form: a flag is "0" or "1", counts, numbers and times are decimal (times in seconds, never
// negative), an outcome is its name, a text is written on one line (control bytes become blanks).
class KeyValueField {
  public:
    KeyValueField(std::string key, bool* flag);
    KeyValueField(std::string key, uint32_t* count);
    KeyValueField(std::string key, int* number);
    KeyValueField(std::string key, int64_t* time);
    KeyValueField(std::string key, Outcome* outcome);
    KeyValueField(std::string key, std::string* text);

    const std::string& key() const { return mKey; }
    // The value as it is written after "key=".
    std::string Text() const;
    // Stores `text` into the member; false, leaving it as it was, when `text` is malformed.
    bool Store(const std::string& text) const;

  private:
    enum class Kind { kFlag, kCount, kNumber, kTime, kOutcome, kText };

    KeyValueField(std::string key, Kind kind, void* value);

    std::string mKey;
    Kind mKind;
    void* mValue;
};

// The record's lines, in the order of `fields`.
std::string FormatKeyValues(const std::vector<KeyValueField>& fields);

// Reads text written by FormatKeyValues into the members of `fields`. Keys they do not know are
// skipped, so a newer writer may add some. False, with a reason naming the line, when a line is
// not key=value or a known key's value is malformed.
bool ParseKeyValues(const std::string& text, const std::vector<KeyValueField>& fields,
                    std::string* error);
