// CDRManager::OnAddCDR: every call detail report becomes one numbered record at the front of its
// database and, while automatic download is on, of the download log.

#include <stdint.h>

#include <exception>
#include <stdexcept>
#include <string_view>

#include "core/cdr_manager.h"
#include "core/health_monitor.h"
#include "platform/media/media_control.h"
#include "platform/util/diag.h"

namespace {

const uint16_t kNotAvailable = 65535;
// Room for a codec name, as its writer needs.
const size_t kCodecNameRoom = 256;

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
            Entries(mpDownStatFile).Number("type", static_cast<unsigned>(type));
        }
        WriteRecord(toDatabase ? database : mpDownStatFile, mpFiles->mNextID[index]++, report,
                    statistics);
        // The log takes the database's lines as they are, rather than each entry written twice.
        if (toDatabase && mAutoDownload != 0 && mpDownStatFile->AddSectionEntriesOf(*database) == 0)
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

void CDRManager::WriteRecord(Configuration::MultiSectionFile* file, unsigned long id,
                             const CallDetailReport& report, const CallStatistics* statistics) {
    Entries out(file);
    out.Number("ID", id);
    AddRecordEntries(&out, report, statistics);
}

void CDRManager::AddRecordEntries(Entries* out, const CallDetailReport& report,
                                  const CallStatistics* statistics) {
    out->SignedNumber("ST", report.startTime);
    out->Number("dur", report.duration);
    out->Checked("called", report.called);
    out->Plain("called_type", CallTypeToToken(report.calledType));
    out->Checked("caller", report.caller);
    out->Plain("caller_type", CallTypeToToken(report.callerType));
    const struct {
        std::string_view key;
        const std::string& value;
    } optionalTexts[] = {{"GUID", report.guid}, {"OCD", report.ocd}, {"cr", report.cr}};
    for (const auto& text : optionalTexts) {
        if (!text.value.empty()) out->Checked(text.key, text.value);
    }
    if (!report.authUserName.empty()) {
        out->Checked("auth_un", report.authUserName);
        out->Plain("auth_type", CDRAuthTypeToToken(report.authType));
    }
    if (!report.forwarder.empty()) out->Checked("forwarder", report.forwarder);
    if (!report.transferer.empty()) out->Checked("transferer", report.transferer);
    out->Number("hop", report.hop);
    if (report.clirCaller != 0) out->Plain("clir_caller", "1");
    if (statistics == nullptr) return;
    AddStream(out, statistics->streams[0], kStreamKeys[0]);
    AddStream(out, statistics->streams[1], kStreamKeys[1]);
    AddFax(out, statistics->fax);
}

void CDRManager::AddStream(Entries* out, const MediaStreamStatistics& stream,
                           const std::string_view keys[]) {
    auto codec = [&](std::string_view key, uint16_t number) {
        char name[kCodecNameRoom];
        out->Plain(key, std::string_view(name, GetNameByDspCodec(number, name)));
    };
    auto address = [&](std::string_view key, uint32_t value) {
        mpFiles->mAddr = static_cast<unsigned long>(value);
        out->Plain(key, std::string_view(mpFiles->mAddr.DottedDecimal(),
                                         mpFiles->mAddr.DottedDecimalSize()));
    };
    if (stream.txPackets != 0) {
        out->Number(keys[kTxPkt], stream.txPackets);
        codec(keys[kTxEnc], stream.txCodec);
        if (stream.txPacketSize != 0) out->Number(keys[kTxPktSz], stream.txPacketSize);
    }
    if (stream.rxPackets == 0) return;
    out->Number(keys[kRxPkt], stream.rxPackets);
    codec(keys[kRxEnc], stream.rxCodec);
    if (stream.rxPacketSize != 0) out->Number(keys[kRxPktSz], stream.rxPacketSize);
    out->Number(keys[kRxLost], stream.rxLost);
    out->Number(keys[kRxJtr], stream.rxJitter);
    out->Number(keys[kRxMaxDel], stream.rxMaxDelay);
    const struct {
        StreamKey key;
        uint16_t value;
    } delays[] = {{kRxDelayIncr, stream.rxDelayIncrease}, {kRxDelayDecr, stream.rxDelayDecrease}};
    for (const auto& delay : delays) {
        if (delay.value == kNotAvailable)
            out->Plain(keys[delay.key], "N/A");
        else
            out->Number(keys[delay.key], delay.value);
    }
    if (stream.localAddress != 0) address(keys[kLocAddr], stream.localAddress);
    if (stream.localPort != 0) out->Number(keys[kLocPort], stream.localPort);
    if (stream.remoteAddress != 0) address(keys[kRemAddr], stream.remoteAddress);
    if (stream.remotePort != 0) out->Number(keys[kRemPort], stream.remotePort);
    // Both streams write their SRTP flag under the same key.
    if (stream.srtp != 0) out->Plain("srtp", "1");
}

void CDRManager::AddFax(Entries* out, const FaxStatistics& fax) {
    if (fax.rxPackets == 0 && fax.txPackets == 0) return;
    out->Number("fax_rx_pkt", fax.rxPackets);
    out->Number("fax_rx_dpl_pkt", fax.rxDuplicatePackets);
    out->Number("fax_rx_lost", fax.rxLost);
    out->Number("fax_rx_bad_pkt", fax.rxBadPackets);
    out->Number("fax_tx_pkt", fax.txPackets);
    out->Number("fax_tx_dpl_pkt", fax.txDuplicatePackets);
    out->Checked("fax_anamnesis", fax.anamnesis);
}
