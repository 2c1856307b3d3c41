#pragma once
// A VFS over the default one for database files read mostly from start to end, as a table of
// large rows is when it is stepped through: reads that follow each other are served from a buffer
// filled by one large read that grows while they keep following, so a pass costs a few thousand
// system calls instead of one per page. Scattered reads stay as small as asked. A write, a
// truncation, or the start of a transaction (a lock on the file, or in WAL mode on its shared
// memory) drops the buffer, so what another connection wrote is read.

// The VFS's name for sqlite3_open_v2, registered (not as the default) on first use; null when it
// cannot be.
const char* ReadAheadVfs();
