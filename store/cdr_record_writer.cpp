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
// Room for a number in decimal and its NUL; for a codec name, as its writer needs.
const size_t kDecimalRoom = 21;
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
            const size_t length =
                FormatUnsignedDecimal(mpFiles->mpBuffer, static_cast<unsigned>(type));
            mpDownStatFile->AddSectionEntry("type", 4, mpFiles->mpBuffer, length);
        }
        mRecord.count = 0;
        mRecord.textUsed = 0;
        AddNumber("ID", mpFiles->mNextID[index]++);
        AddRecordEntries(report, statistics);
        WriteRecordEntries(toDatabase, database);
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

void CDRManager::WriteRecordEntries(bool toDatabase, Configuration::MultiSectionFile* database) {
    if (toDatabase) database->AddSectionEntries(mRecord.entries, mRecord.count);
    if (mAutoDownload == 0) return;
    // Both files take the same lines: written once into the database and copied whole into the
    // log, rather than each entry checked and written twice.
    if (!toDatabase)
        mpDownStatFile->AddSectionEntries(mRecord.entries, mRecord.count);
    else if (mpDownStatFile->AddSectionEntriesOf(*database) == 0)
        throw std::logic_error("the download log and the database write entries differently");
}

void CDRManager::AddEntry(std::string_view key, std::string_view value, bool own) {
    if (mRecord.count == RecordEntries::kCapacity)
        throw std::logic_error("a record with more entries than the writer holds");
    // Field by field: a braced temporary went through the stack in halves and was read back
    // whole, which stalled every entry.
    Configuration::MultiSectionConfigFile::EntryView& entry = mRecord.entries[mRecord.count++];
    entry.key = key;
    entry.value = value;
    entry.plain = own;
}

char* CDRManager::NextEntryText(size_t room) {
    if (RecordEntries::kTextSize - mRecord.textUsed < room)
        throw std::logic_error("a record with more text than the writer holds");
    return mRecord.text + mRecord.textUsed;
}

void CDRManager::AddWrittenEntry(std::string_view key, size_t length) {
    const char* value = mRecord.text + mRecord.textUsed;
    mRecord.textUsed += length + 1;
    AddEntry(key, std::string_view(value, length), true);
}

void CDRManager::AddNumber(std::string_view key, unsigned long value) {
    AddWrittenEntry(key, FormatUnsignedDecimal(NextEntryText(kDecimalRoom), value));
}

void CDRManager::AddRecordEntries(const CallDetailReport& report,
                                  const CallStatistics* statistics) {
    AddWrittenEntry("ST", FormatSignedDecimal(NextEntryText(kDecimalRoom), report.startTime));
    AddNumber("dur", report.duration);
    AddEntry("called", report.called);
    AddEntry("called_type", CallTypeToToken(report.calledType), true);
    AddEntry("caller", report.caller);
    AddEntry("caller_type", CallTypeToToken(report.callerType), true);
    const struct {
        std::string_view key;
        const std::string& value;
    } optionalTexts[] = {{"GUID", report.guid}, {"OCD", report.ocd}, {"cr", report.cr}};
    for (const auto& text : optionalTexts) {
        if (!text.value.empty()) AddEntry(text.key, text.value);
    }
    if (!report.authUserName.empty()) {
        AddEntry("auth_un", report.authUserName);
        AddEntry("auth_type", CDRAuthTypeToToken(report.authType), true);
    }
    if (!report.forwarder.empty()) AddEntry("forwarder", report.forwarder);
    if (!report.transferer.empty()) AddEntry("transferer", report.transferer);
    AddNumber("hop", report.hop);
    if (report.clirCaller != 0) AddEntry("clir_caller", "1", true);
    if (statistics == nullptr) return;
    AddStream(statistics->streams[0], kStreamKeys[0]);
    AddStream(statistics->streams[1], kStreamKeys[1]);
    AddFax(statistics->fax);
}

void CDRManager::AddStream(const MediaStreamStatistics& stream, const std::string_view keys[]) {
    auto codec = [&](std::string_view key, uint16_t number) {
        AddWrittenEntry(key, GetNameByDspCodec(number, NextEntryText(kCodecNameRoom)));
    };
    auto address = [&](std::string_view key, uint32_t value) {
        mpFiles->mAddr = static_cast<unsigned long>(value);
        const size_t length = mpFiles->mAddr.DottedDecimalSize();
        memcpy(NextEntryText(length + 1), mpFiles->mAddr.DottedDecimal(), length + 1);
        AddWrittenEntry(key, length);
    };
    if (stream.txPackets != 0) {
        AddNumber(keys[kTxPkt], stream.txPackets);
        codec(keys[kTxEnc], stream.txCodec);
        if (stream.txPacketSize != 0) AddNumber(keys[kTxPktSz], stream.txPacketSize);
    }
    if (stream.rxPackets == 0) return;
    AddNumber(keys[kRxPkt], stream.rxPackets);
    codec(keys[kRxEnc], stream.rxCodec);
    if (stream.rxPacketSize != 0) AddNumber(keys[kRxPktSz], stream.rxPacketSize);
    AddNumber(keys[kRxLost], stream.rxLost);
    AddNumber(keys[kRxJtr], stream.rxJitter);
    AddNumber(keys[kRxMaxDel], stream.rxMaxDelay);
    const struct {
        StreamKey key;
        uint16_t value;
    } delays[] = {{kRxDelayIncr, stream.rxDelayIncrease}, {kRxDelayDecr, stream.rxDelayDecrease}};
    for (const auto& delay : delays) {
        if (delay.value == kNotAvailable)
            AddEntry(keys[delay.key], "N/A", true);
        else
            AddNumber(keys[delay.key], delay.value);
    }
    if (stream.localAddress != 0) address(keys[kLocAddr], stream.localAddress);
    if (stream.localPort != 0) AddNumber(keys[kLocPort], stream.localPort);
    if (stream.remoteAddress != 0) address(keys[kRemAddr], stream.remoteAddress);
    if (stream.remotePort != 0) AddNumber(keys[kRemPort], stream.remotePort);
    // Both streams write their SRTP flag under the same key.
    if (stream.srtp != 0) AddEntry("srtp", "1", true);
}

void CDRManager::AddFax(const FaxStatistics& fax) {
    if (fax.rxPackets == 0 && fax.txPackets == 0) return;
    AddNumber("fax_rx_pkt", fax.rxPackets);
    AddNumber("fax_rx_dpl_pkt", fax.rxDuplicatePackets);
    AddNumber("fax_rx_lost", fax.rxLost);
    AddNumber("fax_rx_bad_pkt", fax.rxBadPackets);
    AddNumber("fax_tx_pkt", fax.txPackets);
    AddNumber("fax_tx_dpl_pkt", fax.txDuplicatePackets);
    AddEntry("fax_anamnesis", fax.anamnesis);
}
