#include "platform/util/key_value_record.h"

#include <utility>

#include "platform/util/decimal.h"

namespace {

const char* const kOutcomeNames[] = {"none", "ok", "failed"};

std::string OneLine(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    }
    return text;
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
    return kOutcomeNames[static_cast<int>(outcome)];
}

KeyValueField::KeyValueField(std::string key, Kind kind, void* value)
    : mKey(std::move(key)), mKind(kind), mValue(value) {}

KeyValueField::KeyValueField(std::string key, bool* flag)
    : KeyValueField(std::move(key), Kind::kFlag, flag) {}

KeyValueField::KeyValueField(std::string key, uint32_t* count)
    : KeyValueField(std::move(key), Kind::kCount, count) {}

KeyValueField::KeyValueField(std::string key, int* number)
    : KeyValueField(std::move(key), Kind::kNumber, number) {}

KeyValueField::KeyValueField(std::string key, int64_t* time)
    : KeyValueField(std::move(key), Kind::kTime, time) {}

KeyValueField::KeyValueField(std::string key, Outcome* outcome)
    : KeyValueField(std::move(key), Kind::kOutcome, outcome) {}

KeyValueField::KeyValueField(std::string key, std::string* text)
    : KeyValueField(std::move(key), Kind::kText, text) {}

std::string KeyValueField::Text() const {
    switch (mKind) {
        case Kind::kFlag:
            return *static_cast<bool*>(mValue) ? "1" : "0";
        case Kind::kCount:
            return std::to_string(*static_cast<uint32_t*>(mValue));
        case Kind::kNumber:
            return std::to_string(*static_cast<int*>(mValue));
        case Kind::kTime:
            return std::to_string(static_cast<long long>(*static_cast<int64_t*>(mValue)));
        case Kind::kOutcome:
            return OutcomeName(*static_cast<Outcome*>(mValue));
        case Kind::kText:
            return OneLine(*static_cast<std::string*>(mValue));
    }
    return "";
}

bool KeyValueField::Store(const std::string& text) const {
    long long number = 0;
    switch (mKind) {
        case Kind::kFlag:
            if (text != "0" && text != "1") return false;
            *static_cast<bool*>(mValue) = text == "1";
            return true;
        case Kind::kCount:
            if (!ParseDecimal(text, 0, UINT32_MAX, &number)) return false;
            *static_cast<uint32_t*>(mValue) = static_cast<uint32_t>(number);
            return true;
        case Kind::kNumber:
            if (!ParseDecimal(text, 0, INT32_MAX, &number)) return false;
            *static_cast<int*>(mValue) = static_cast<int>(number);
            return true;
        case Kind::kTime:
            if (!ParseDecimal(text, 0, INT64_MAX, &number)) return false;
            *static_cast<int64_t*>(mValue) = number;
            return true;
        case Kind::kOutcome:
            for (int i = 0; i < 3; ++i) {
                if (text != kOutcomeNames[i]) continue;
                *static_cast<Outcome*>(mValue) = static_cast<Outcome>(i);
                return true;
            }
            return false;
        case Kind::kText:
            *static_cast<std::string*>(mValue) = text;
            return true;
    }
    return false;
}

std::string FormatKeyValues(const std::vector<KeyValueField>& fields) {
    std::string text;
    for (const KeyValueField& field : fields) text += field.key() + "=" + field.Text() + "\n";
    return text;
}

bool ParseKeyValues(const std::string& text, const std::vector<KeyValueField>& fields,
                    std::string* error) {
    size_t lineNumber = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        ++lineNumber;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            *error = "line " + std::to_string(lineNumber) + " is not key=value";
            return false;
        }
        const std::string key = line.substr(0, equals);
        for (const KeyValueField& field : fields) {
            if (field.key() != key) continue;
            if (!field.Store(line.substr(equals + 1))) {
                *error = "line " + std::to_string(lineNumber) + ": bad value for " + key;
                return false;
            }
            break;
        }
    }
    return true;
}
