// CDRManager::OnAddCDR: every call detail report becomes one numbered record at the front of its
// database and, while automatic download is on, of the download log.
#include <stdio.h>

#include <exception>

#include "core/cdr_manager.h"
#include "platform/media_control.h"

namespace {

const uint16_t kNotAvailable = 65535;

// Record type 1, 2 or 4 selects database 0, 1 or 2; any other type is refused (-1).
int DatabaseIndex(int type) {
    switch (type) {
        case 1:
            return 0;
        case 2:
            return 1;
        case 4:
            return 2;
        default:
            return -1;
    }
}

}  // namespace

int CDRManager::OnAddCDR(int type, const CallDetailReport& report,
                         const CallStatistics* statistics) {
    const bool toDatabase = mSettings.mEnabled != 0;
    if (!toDatabase && mAutoDownload == 0) return 1;
    TRACEX("OnAddCDR\n");
    ThreadMutexLock lock(mpFiles->mpMutex);
    const int index = DatabaseIndex(type);
    if (index < 0) return 0;
    Configuration::MultiSectionFile* database = mpFiles->mpFile[index];
    if ((toDatabase && database == nullptr) || (mAutoDownload != 0 && mpDownStatFile == nullptr))
        return 0;
    try {
        if (toDatabase && database->GetSectionCount() >= mpFiles->mMaxRecords[index]) {
            database->GotoLastSection();
            database->DeleteSection();
        }
        if (mAutoDownload != 0) UpkeepDownloadLog();
        if (toDatabase) database->AddSection(true);
        if (mAutoDownload != 0) {
            mpDownStatFile->AddSection(true);
            snprintf(mpFiles->mpBuffer, CDRFiles::kBufferSize, "%u", static_cast<unsigned>(type));
            mpDownStatFile->AddSectionEntry("type", mpFiles->mpBuffer);
        }
        AddNumber(toDatabase, index, "ID", mpFiles->mNextID[index]++);
        AddRecordEntries(toDatabase, index, report, statistics);
        // The count starts again only after both saves succeeded; while storage is full or
        // read-only, every further record tries again, so the held records reach storage as
        // soon as it takes them.
        if (++mpFiles->mUnsaved[index] >= mpFiles->mSavePeriod[index]) {
            if (toDatabase) database->Save(true, nullptr);
            if (mAutoDownload != 0) mpDownStatFile->Save(true, nullptr);
            mpFiles->mUnsaved[index] = 0;
        }
    } catch (const std::exception&) {
        return 0;
    }
    return 1;
}

void CDRManager::AddEntry(bool toDatabase, int index, const char* key, const char* value) {
    if (toDatabase) mpFiles->mpFile[index]->AddSectionEntry(key, value);
    if (mAutoDownload != 0) mpDownStatFile->AddSectionEntry(key, value);
}

void CDRManager::AddNumber(bool toDatabase, int index, const char* key, unsigned long value) {
    snprintf(mpFiles->mpBuffer, CDRFiles::kBufferSize, "%lu", value);
    AddEntry(toDatabase, index, key, mpFiles->mpBuffer);
}

void CDRManager::AddRecordEntries(bool toDatabase, int index, const CallDetailReport& report,
                                  const CallStatistics* statistics) {
    snprintf(mpFiles->mpBuffer, CDRFiles::kBufferSize, "%ld", report.startTime);
    AddEntry(toDatabase, index, "ST", mpFiles->mpBuffer);
    AddNumber(toDatabase, index, "dur", report.duration);
    AddEntry(toDatabase, index, "called", report.called.c_str());
    AddEntry(toDatabase, index, "called_type", CallTypeToToken(report.calledType));
    AddEntry(toDatabase, index, "caller", report.caller.c_str());
    AddEntry(toDatabase, index, "caller_type", CallTypeToToken(report.callerType));
    const struct {
        const char* key;
        const std::string& value;
    } optionalTexts[] = {{"GUID", report.guid}, {"OCD", report.ocd}, {"cr", report.cr}};
    for (const auto& text : optionalTexts) {
        if (!text.value.empty()) AddEntry(toDatabase, index, text.key, text.value.c_str());
    }
    if (!report.authUserName.empty()) {
        AddEntry(toDatabase, index, "auth_un", report.authUserName.c_str());
        AddEntry(toDatabase, index, "auth_type", CDRAuthTypeToToken(report.authType));
    }
    if (!report.forwarder.empty())
        AddEntry(toDatabase, index, "forwarder", report.forwarder.c_str());
    if (!report.transferer.empty())
        AddEntry(toDatabase, index, "transferer", report.transferer.c_str());
    AddNumber(toDatabase, index, "hop", report.hop);
    if (report.clirCaller != 0) AddEntry(toDatabase, index, "clir_caller", "1");
    if (statistics == nullptr) return;
    AddStream(toDatabase, index, statistics->streams[0], "");
    AddStream(toDatabase, index, statistics->streams[1], "_2");
    AddFax(toDatabase, index, statistics->fax);
}

void CDRManager::AddStream(bool toDatabase, int index, const MediaStreamStatistics& stream,
                           const char* suffix) {
    char key[32];
    auto keyed = [&](const char* name) {
        snprintf(key, sizeof key, "%s%s", name, suffix);
        return key;
    };
    auto codec = [&](uint16_t number) {
        GetNameByDspCodec(number, mpFiles->mpBuffer);
        return mpFiles->mpBuffer;
    };
    auto address = [&](uint32_t value) {
        mpFiles->mAddr = static_cast<unsigned long>(value);
        return mpFiles->mAddr.DottedDecimal();
    };
    if (stream.txPackets != 0) {
        AddNumber(toDatabase, index, keyed("tx_pkt"), stream.txPackets);
        AddEntry(toDatabase, index, keyed("tx_enc"), codec(stream.txCodec));
        if (stream.txPacketSize != 0)
            AddNumber(toDatabase, index, keyed("tx_pkt_sz"), stream.txPacketSize);
    }
    if (stream.rxPackets == 0) return;
    AddNumber(toDatabase, index, keyed("rx_pkt"), stream.rxPackets);
    AddEntry(toDatabase, index, keyed("rx_enc"), codec(stream.rxCodec));
    if (stream.rxPacketSize != 0)
        AddNumber(toDatabase, index, keyed("rx_pkt_sz"), stream.rxPacketSize);
    AddNumber(toDatabase, index, keyed("rx_lost"), stream.rxLost);
    AddNumber(toDatabase, index, keyed("rx_jtr"), stream.rxJitter);
    AddNumber(toDatabase, index, keyed("rx_max_del"), stream.rxMaxDelay);
    const struct {
        const char* name;
        uint16_t value;
    } delays[] = {{"rx_delay_incr", stream.rxDelayIncrease},
                  {"rx_delay_decr", stream.rxDelayDecrease}};
    for (const auto& delay : delays) {
        if (delay.value == kNotAvailable)
            AddEntry(toDatabase, index, keyed(delay.name), "N/A");
        else
            AddNumber(toDatabase, index, keyed(delay.name), delay.value);
    }
    if (stream.localAddress != 0)
        AddEntry(toDatabase, index, keyed("loc_addr"), address(stream.localAddress));
    if (stream.localPort != 0) AddNumber(toDatabase, index, keyed("loc_port"), stream.localPort);
    if (stream.remoteAddress != 0)
        AddEntry(toDatabase, index, keyed("rem_addr"), address(stream.remoteAddress));
    if (stream.remotePort != 0) AddNumber(toDatabase, index, keyed("rem_port"), stream.remotePort);
    // Both streams write their SRTP flag under the same key.
    if (stream.srtp != 0) AddEntry(toDatabase, index, "srtp", "1");
}

void CDRManager::AddFax(bool toDatabase, int index, const FaxStatistics& fax) {
    if (fax.rxPackets == 0 && fax.txPackets == 0) return;
    AddNumber(toDatabase, index, "fax_rx_pkt", fax.rxPackets);
    AddNumber(toDatabase, index, "fax_rx_dpl_pkt", fax.rxDuplicatePackets);
    AddNumber(toDatabase, index, "fax_rx_lost", fax.rxLost);
    AddNumber(toDatabase, index, "fax_rx_bad_pkt", fax.rxBadPackets);
    AddNumber(toDatabase, index, "fax_tx_pkt", fax.txPackets);
    AddNumber(toDatabase, index, "fax_tx_dpl_pkt", fax.txDuplicatePackets);
    AddEntry(toDatabase, index, "fax_anamnesis", fax.anamnesis.c_str());
}
