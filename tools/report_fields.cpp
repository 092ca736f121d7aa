#include "tools/report_fields.h"

#include <arpa/inet.h>
#include <stdint.h>

#include <limits>
#include <type_traits>

#include "tools/number_argument.h"

namespace {

// The range a number field of type T takes: its own, or that of 32 bits for the device's long
// and for the enumerations, which travel as 32-bit numbers.
template <typename T, bool = std::is_enum<T>::value>
struct NumberRange {
    static constexpr long long kMin = std::numeric_limits<T>::min();
    static constexpr long long kMax = std::numeric_limits<T>::max();
};
template <typename T>
struct NumberRange<T, true> : NumberRange<int32_t> {};
template <>
struct NumberRange<long, false> : NumberRange<int32_t> {};

// Sets a field of type T in form F from the text a person gave; `name` names it in the reason.
template <typename T, ReportFieldForm F>
struct FieldSetter {
    static bool Set(const std::string& name, const std::string& text, void* target,
                    std::string* error) {
        long long n = 0;
        if (!ParseNumberArgument(name, text, NumberRange<T>::kMin, NumberRange<T>::kMax, &n, error))
            return false;
        *static_cast<T*>(target) = static_cast<T>(n);
        return true;
    }
};

template <>
struct FieldSetter<std::string, ReportFieldForm::kText> {
    static bool Set(const std::string&, const std::string& text, void* target, std::string*) {
        *static_cast<std::string*>(target) = text;
        return true;
    }
};

template <>
struct FieldSetter<uint32_t, ReportFieldForm::kAddress> {
    static bool Set(const std::string& name, const std::string& text, void* target,
                    std::string* error) {
        struct in_addr address;
        if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
            *error = "bad " + name + " '" + text + "': expected a dotted IPv4 address";
            return false;
        }
        *static_cast<uint32_t*>(target) = ntohl(address.s_addr);
        return true;
    }
};

// A field that can be named: where it lives in the message being built (`stream` picks the
// media stream), and how its text is read.
struct Field {
    const char* name;
    void* (*locate)(WireMessage& message, size_t stream);
    bool (*set)(const std::string& name, const std::string& text, void* target, std::string* error);
};

// clang-format off
#define CDR_REPORT_FIELD(type, name, form) \
    {#name, [](WireMessage& m, size_t) -> void* { return &m.report.name; }, \
     FieldSetter<type, ReportFieldForm::form>::Set},
#define CDR_STREAM_FIELD(type, name, form) \
    {#name, [](WireMessage& m, size_t stream) -> void* { return &m.statistics.streams[stream].name; }, \
     FieldSetter<type, ReportFieldForm::form>::Set},
#define CDR_FAX_FIELD(type, name, form) \
    {#name, [](WireMessage& m, size_t) -> void* { return &m.statistics.fax.name; }, \
     FieldSetter<type, ReportFieldForm::form>::Set},
// clang-format on

const Field kReportFields[] = {CDR_REPORT_FIELDS(CDR_REPORT_FIELD)};
const Field kStreamFields[] = {CDR_STREAM_FIELDS(CDR_STREAM_FIELD)};
const Field kFaxFields[] = {CDR_FAX_FIELDS(CDR_FAX_FIELD)};

#undef CDR_REPORT_FIELD
#undef CDR_STREAM_FIELD
#undef CDR_FAX_FIELD

template <size_t N>
const Field* FindField(const Field (&fields)[N], const std::string& name) {
    for (const Field& field : fields)
        if (name == field.name) return &field;
    return nullptr;
}

}  // namespace

bool ApplyReportField(const std::string& argument, WireMessage* message, std::string* error) {
    size_t equals = argument.find('=');
    if (equals == std::string::npos) {
        *error = "expected FIELD=VALUE, got '" + argument + "'";
        return false;
    }
    std::string name = argument.substr(0, equals);
    std::string value = argument.substr(equals + 1);
    const Field* field = nullptr;
    size_t stream = 0;
    bool statistics = true;
    if (name.compare(0, 3, "s1.") == 0 || name.compare(0, 3, "s2.") == 0) {
        field = FindField(kStreamFields, name.substr(3));
        stream = name[1] == '1' ? 0 : 1;
    } else if (name.compare(0, 4, "fax.") == 0) {
        field = FindField(kFaxFields, name.substr(4));
    } else {
        field = FindField(kReportFields, name);
        statistics = false;
    }
    if (field == nullptr) {
        *error = "unknown field '" + name + "'";
        return false;
    }
    if (!field->set(name, value, field->locate(*message, stream), error)) return false;
    message->hasStatistics = message->hasStatistics || statistics;
    return true;
}
