#include "Global.h"

// No office suite is needed here: the export writes Excel 2007 (.xlsx) workbooks itself.
bool IsExcel2007Installed() { return true; }
