#include "tools/status_judge.h"

namespace {

std::string StoreProblem(const StoreHealth& store, const char* name) {
    if (!store.open) return std::string(name) + ": not open" + OpenErrorText(store);
    return std::string(name) + ": " + std::to_string(store.unsaved) +
           " records not on storage, last save failed: " + store.saveError;
}

std::string DropProblem(const HealthRecord& record) {
    return "download log: " + Plural(record.dropped, "record") + " dropped since " +
           LocalTimeText(record.droppingSince) + ", downloads failing: " + record.dropReason;
}

}  // namespace

void JudgeStatus(StatusView* view) {
    if (view->pid == 0) return;
    if (!view->current) view->problems.push_back("the recorder has not written its health record");
    for (const QueueView& look : view->queues)
        if (look.Known() && !look.queue.exists)
            view->problems.push_back(look.queue.name + ": not served (" + look.queue.error + ")");
    if (!view->current) return;
    for (int i = 0; i < HealthRecord::kStores; ++i)
        if (NeedsAttention(view->record, i))
            view->problems.push_back(StoreProblem(view->record.stores[i], kStoreNames[i]));
    if (RecordsDropping(view->record)) view->problems.push_back(DropProblem(view->record));
    if (!view->record.unlocked.empty())
        view->problems.push_back("running without an instance lock: " + view->record.unlocked);
    const DeliveryView& delivery = view->delivery;
    if (delivery.automatic && delivery.agentKnown && SameBoot(delivery.agent, view->bootId) &&
        DeliveryOverdue(delivery.agent, view->bootNow))
        view->problems.push_back("deliveries failing since " +
                                 LocalTimeText(delivery.agent.failingSince) + ": " +
                                 delivery.agent.error);
}
