#pragma once
// The operator's warning after an import that stored readings of watch-listed holders.

#include "ReadingLogImport.h"

// Empty when the import stored none.
QString WatchListAlertText(const ImportOutcome& outcome);
