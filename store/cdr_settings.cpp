#include "store/cdr_settings.h"

CDRSettings::CDRSettings()
    : mEnabled(1),
      mMaxRecords{0, 0, 0},
      mSavePeriod{10, 10, 10},
      mJournal(1),
      mJournalSyncReports(64),
      mJournalSyncMs(50) {}
