#include "ConvertPhoto.h"

#include "MemoryStream.h"
#include "PhotoConvert.h"

#include <vector>

bool ConvertPhoto(const char* png, size_t size, QByteArray& target, QString* why)
{
    target = QByteArray();
    if (!png || size == 0) {
        if (why)
            *why = QStringLiteral("no photo");
        return false;
    }
    std::vector<unsigned char> bmp;
    const photo::PhotoResult r = photo::PngToBmp(reinterpret_cast<const unsigned char*>(png), size, bmp);
    if (!r.ok) {
        if (why)
            *why = QString::fromStdString(r.error);
        return false;
    }
    target = QByteArray(reinterpret_cast<const char*>(bmp.data()), static_cast<qsizetype>(bmp.size()));
    return true;
}

bool ConvertPhoto(const TMemoryStream* source, QByteArray& target, QString* why)
{
    if (!source)
        return ConvertPhoto(nullptr, 0, target, why);
    return ConvertPhoto(source->Data(), static_cast<size_t>(source->Size()), target, why);
}
