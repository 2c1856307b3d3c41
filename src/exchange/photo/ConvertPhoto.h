#pragma once
// A holder's photo as the record store keeps it: the handheld's PNG turned into a Windows bitmap
// file image.

#include <QByteArray>
#include <QString>

#include <cstddef>

class TMemoryStream;

// PNG photo to a Windows bitmap file image. false (with a reason) when there is no photo or it
// cannot be read.
bool ConvertPhoto(const TMemoryStream* source, QByteArray& target, QString* why);
bool ConvertPhoto(const char* png, size_t size, QByteArray& target, QString* why);
