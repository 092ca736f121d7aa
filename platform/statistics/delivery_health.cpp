#include "platform/statistics/delivery_health.h"

#include <vector>

const char kDeliveryRecordPath[] = "/run/cdrd/delivery";

namespace {

std::vector<KeyValueField> Fields(DeliveryHealth* r) {
    return {
        {"pid", &r->pid},
        {"written", &r->written},
        {"boot_id", &r->bootId},
        {"delivery.time", &r->time},
        {"delivery.result", &r->result},
        {"delivery.error", &r->error},
        {"delivery.failing_since", &r->failingSince},
        {"delivery.failing_since_boot", &r->failingSinceBoot},
        {"delivery.alarm_raised", &r->alarmRaised},
        {"delivery.alarm_after_minutes", &r->alarmAfterMinutes},
    };
}

}  // namespace

std::string FormatDeliveryRecord(const DeliveryHealth& record) {
    return FormatKeyValues(Fields(const_cast<DeliveryHealth*>(&record)));
}

bool ParseDeliveryRecord(const std::string& text, DeliveryHealth* record, std::string* error) {
    return ParseKeyValues(text, Fields(record), error);
}

bool SameBoot(const DeliveryHealth& record, const std::string& bootId) {
    return !bootId.empty() && record.bootId == bootId;
}

int64_t DeliveryFailingSeconds(const DeliveryHealth& record, int64_t bootNow) {
    if (record.failingSince == 0) return -1;
    return bootNow > record.failingSinceBoot ? bootNow - record.failingSinceBoot : 0;
}

bool DeliveryOverdue(const DeliveryHealth& record, int64_t bootNow) {
    return DeliveryFailingSeconds(record, bootNow) >=
           static_cast<int64_t>(record.alarmAfterMinutes) * 60;
}
