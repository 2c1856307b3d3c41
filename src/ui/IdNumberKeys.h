#pragma once
// Which keys the ID-number filter box takes: digits, and the keys that move or edit without
// typing; never a pasted text or a shortcut that types.

class QKeyEvent;

bool IdNumberKeyPasses(const QKeyEvent* event);
