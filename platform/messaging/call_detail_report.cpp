#include "platform/messaging/call_detail_report.h"

// Each field of `a` equals the same field of `b`.
#define CDR_FIELD_EQUAL(type, name, form) a.name == b.name&&

bool operator==(const MediaStreamStatistics& a, const MediaStreamStatistics& b) {
    return CDR_STREAM_FIELDS(CDR_FIELD_EQUAL) true;
}

bool operator==(const FaxStatistics& a, const FaxStatistics& b) {
    return CDR_FAX_FIELDS(CDR_FIELD_EQUAL) true;
}

bool operator==(const CallStatistics& a, const CallStatistics& b) {
    return a.streams[0] == b.streams[0] && a.streams[1] == b.streams[1] && a.fax == b.fax;
}

bool operator==(const CallDetailReport& a, const CallDetailReport& b) {
    return CDR_REPORT_FIELDS(CDR_FIELD_EQUAL) true;
}
