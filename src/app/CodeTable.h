#pragma once
#include <QString>

// Nation names as the handheld writes them (without the suffix 族); the entry of code c is c - 1.
extern const char* const NationNames[100];

// Code 1..56 of a nation name by exact comparison, 0 when the name is none of them. Codes 97 and
// 98 are in the table but never returned.
int NationNameToCode(const QString& name);
