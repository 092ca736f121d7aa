// CDRManager::OnAddCDR: every call detail report becomes one numbered record at the front of its
// database and, while automatic download is on, of the download log.

#include <stdint.h>
#include <string.h>

#include <exception>
#include <stdexcept>
#include <string_view>

#include "core/cdr_manager.h"
#include "core/health_monitor.h"
#include "platform/media/media_control.h"
#include "platform/util/decimal.h"
#include "platform/util/diag.h"

namespace {

const uint16_t kNotAvailable = 65535;

// The keys of a media stream's entries; the second stream's carry the suffix "_2". Spelt out
// rather than composed per record, which cost more than the rest of the record together.
enum StreamKey {
    kTxPkt,
    kTxEnc,
    kTxPktSz,
    kRxPkt,
    kRxEnc,
    kRxPktSz,
    kRxLost,
    kRxJtr,
    kRxMaxDel,
    kRxDelayIncr,
    kRxDelayDecr,
    kLocAddr,
    kLocPort,
    kRemAddr,
    kRemPort,
    kStreamKeyCount
};
constexpr std::string_view kStreamKeys[2][kStreamKeyCount] = {
    {"tx_pkt", "tx_enc", "tx_pkt_sz", "rx_pkt", "rx_enc", "rx_pkt_sz", "rx_lost", "rx_jtr",
     "rx_max_del", "rx_delay_incr", "rx_delay_decr", "loc_addr", "loc_port", "rem_addr",
     "rem_port"},
    {"tx_pkt_2", "tx_enc_2", "tx_pkt_sz_2", "rx_pkt_2", "rx_enc_2", "rx_pkt_sz_2", "rx_lost_2",
     "rx_jtr_2", "rx_max_del_2", "rx_delay_incr_2", "rx_delay_decr_2", "loc_addr_2", "loc_port_2",
     "rem_addr_2", "rem_port_2"}};

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
            const size_t length =
                FormatUnsignedDecimal(mpFiles->mpBuffer, static_cast<unsigned>(type));
            mpDownStatFile->AddSectionEntry("type", 4, mpFiles->mpBuffer, length);
        }
        // Both files take the same lines: written once into the database and copied whole into
        // the log, rather than each entry checked and written twice.
        const bool copyToLog = toDatabase && mAutoDownload != 0;
        mEntriesToLog = mAutoDownload != 0 && !copyToLog;
        AddNumber(toDatabase, index, "ID", mpFiles->mNextID[index]++);
        AddRecordEntries(toDatabase, index, report, statistics);
        if (copyToLog && mpDownStatFile->AddSectionEntriesOf(*database) == 0)
            throw std::logic_error("the download log and the database write entries differently");
        JournalRecord(toDatabase, index, type);
        if (toDatabase) mpHealth->RecordAdded(index);
        if (mAutoDownload != 0) mpHealth->RecordAdded(HealthRecord::kDownloadLog);
        if (++mpFiles->mUnsaved[index] >= mpFiles->mSavePeriod[index]) {
            mpFiles->mUnsaved[index] = 0;
            if (toDatabase) SaveFile(index);
            if (mAutoDownload != 0) SaveFile(HealthRecord::kDownloadLog);
        }
    } catch (const std::exception& e) {
        Warn("OnAddCDR: %s.\n", e.what());
        return 0;
    }
    return 1;
}

void CDRManager::AddEntry(bool toDatabase, int index, std::string_view key,
                          std::string_view value) {
    if (toDatabase)
        mpFiles->mpFile[index]->AddSectionEntry(key.data(), key.size(), value.data(), value.size());
    if (mEntriesToLog)
        mpDownStatFile->AddSectionEntry(key.data(), key.size(), value.data(), value.size());
}

void CDRManager::AddNumber(bool toDatabase, int index, std::string_view key, unsigned long value) {
    const size_t length = FormatUnsignedDecimal(mpFiles->mpBuffer, value);
    AddEntry(toDatabase, index, key, std::string_view(mpFiles->mpBuffer, length));
}

void CDRManager::AddRecordEntries(bool toDatabase, int index, const CallDetailReport& report,
                                  const CallStatistics* statistics) {
    const size_t startLength = FormatSignedDecimal(mpFiles->mpBuffer, report.startTime);
    AddEntry(toDatabase, index, "ST", std::string_view(mpFiles->mpBuffer, startLength));
    AddNumber(toDatabase, index, "dur", report.duration);
    AddEntry(toDatabase, index, "called", report.called);
    AddEntry(toDatabase, index, "called_type", CallTypeToToken(report.calledType));
    AddEntry(toDatabase, index, "caller", report.caller);
    AddEntry(toDatabase, index, "caller_type", CallTypeToToken(report.callerType));
    const struct {
        std::string_view key;
        const std::string& value;
    } optionalTexts[] = {{"GUID", report.guid}, {"OCD", report.ocd}, {"cr", report.cr}};
    for (const auto& text : optionalTexts) {
        if (!text.value.empty()) AddEntry(toDatabase, index, text.key, text.value);
    }
    if (!report.authUserName.empty()) {
        AddEntry(toDatabase, index, "auth_un", report.authUserName);
        AddEntry(toDatabase, index, "auth_type", CDRAuthTypeToToken(report.authType));
    }
    if (!report.forwarder.empty()) AddEntry(toDatabase, index, "forwarder", report.forwarder);
    if (!report.transferer.empty()) AddEntry(toDatabase, index, "transferer", report.transferer);
    AddNumber(toDatabase, index, "hop", report.hop);
    if (report.clirCaller != 0) AddEntry(toDatabase, index, "clir_caller", "1");
    if (statistics == nullptr) return;
    AddStream(toDatabase, index, statistics->streams[0], kStreamKeys[0]);
    AddStream(toDatabase, index, statistics->streams[1], kStreamKeys[1]);
    AddFax(toDatabase, index, statistics->fax);
}

void CDRManager::AddStream(bool toDatabase, int index, const MediaStreamStatistics& stream,
                           const std::string_view keys[]) {
    auto codec = [&](uint16_t number) {
        const size_t length = GetNameByDspCodec(number, mpFiles->mpBuffer);
        return std::string_view(mpFiles->mpBuffer, length);
    };
    auto address = [&](uint32_t value) {
        mpFiles->mAddr = static_cast<unsigned long>(value);
        return std::string_view(mpFiles->mAddr.DottedDecimal(), mpFiles->mAddr.DottedDecimalSize());
    };
    if (stream.txPackets != 0) {
        AddNumber(toDatabase, index, keys[kTxPkt], stream.txPackets);
        AddEntry(toDatabase, index, keys[kTxEnc], codec(stream.txCodec));
        if (stream.txPacketSize != 0)
            AddNumber(toDatabase, index, keys[kTxPktSz], stream.txPacketSize);
    }
    if (stream.rxPackets == 0) return;
    AddNumber(toDatabase, index, keys[kRxPkt], stream.rxPackets);
    AddEntry(toDatabase, index, keys[kRxEnc], codec(stream.rxCodec));
    if (stream.rxPacketSize != 0) AddNumber(toDatabase, index, keys[kRxPktSz], stream.rxPacketSize);
    AddNumber(toDatabase, index, keys[kRxLost], stream.rxLost);
    AddNumber(toDatabase, index, keys[kRxJtr], stream.rxJitter);
    AddNumber(toDatabase, index, keys[kRxMaxDel], stream.rxMaxDelay);
    const struct {
        StreamKey key;
        uint16_t value;
    } delays[] = {{kRxDelayIncr, stream.rxDelayIncrease}, {kRxDelayDecr, stream.rxDelayDecrease}};
    for (const auto& delay : delays) {
        if (delay.value == kNotAvailable)
            AddEntry(toDatabase, index, keys[delay.key], "N/A");
        else
            AddNumber(toDatabase, index, keys[delay.key], delay.value);
    }
    if (stream.localAddress != 0)
        AddEntry(toDatabase, index, keys[kLocAddr], address(stream.localAddress));
    if (stream.localPort != 0) AddNumber(toDatabase, index, keys[kLocPort], stream.localPort);
    if (stream.remoteAddress != 0)
        AddEntry(toDatabase, index, keys[kRemAddr], address(stream.remoteAddress));
    if (stream.remotePort != 0) AddNumber(toDatabase, index, keys[kRemPort], stream.remotePort);
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
    AddEntry(toDatabase, index, "fax_anamnesis", fax.anamnesis);
}
