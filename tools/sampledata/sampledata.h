// Synthetic card holders and card readings for tests, benchmarks and trying the program by hand.
// Everyone produced here is made up: names come from short character lists, region codes and
// places are invented, photos are drawn shapes.
//
// Everything is deterministic for a seed. Holders, reading times and photos draw from separate
// streams, so the same seed gives the same first M holders in a device database and in a record
// store, whatever the number of readings.
#pragma once

#include <QByteArray>
#include <QDate>
#include <QImage>
#include <QString>
#include <QStringView>

#include <cstdint>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

namespace idcard::sample {

constexpr int kPhotoWidth = 102;
constexpr int kPhotoHeight = 126;

// ISO 7064 MOD 11-2 check character of the first 17 digits of a resident ID number, or a null
// QChar if the input is not 17 ASCII digits.
QChar idCheckCharacter(QStringView first17);
// 18 characters, 17 digits plus the matching check character (upper-case X only), and a real
// calendar date at positions 7..14.
bool isValidIdNumber(QStringView id);

// Nation names as the reader writes them (without 族), index 0 is nation_no 1.
const std::vector<QString> &nationNames();

struct Options
{
    std::uint64_t seed = 1;
    // Reading times fall in [from 00:00:00, to 23:59:59]. Null dates: the last 365 days to today.
    QDate from;
    QDate to;
    // Some names (about 1 in 50) carry characters outside GBK, as real names sometimes do.
    bool rareChars = false;
    // Per-pixel noise amplitude of the photos. Real photos do not compress to nothing; the default
    // gives PNGs of roughly 15-25 KB. 0 draws flat shapes.
    int photoNoise = 6;
};

struct Holder
{
    QString idNumber;
    QString name;
    QString sex;    // 男 / 女
    int nationNo;   // 1..56
    QString nation; // without 族
    QDate birth;
    QString address;
    QString issuer;
    QString validBegin; // YYYY.MM.DD
    QString validEnd;   // YYYY.MM.DD or 长期
    std::uint64_t photoSeed = 0;
};

class Generator
{
public:
    explicit Generator(const Options &options);

    const Options &options() const { return m_options; }
    QDate from() const { return m_from; }
    QDate to() const { return m_to; }

    // A new holder; ID numbers never repeat within one generator.
    Holder nextHolder();
    // Seconds since the start of `from`, uniform over the range, with a share of readings exactly
    // at midnight (date filters are easy to get wrong there).
    std::int64_t nextReadingOffset();
    // 'YYYY-MM-DD HH:MM:SS' of an offset from nextReadingOffset().
    std::string readTimeText(std::int64_t offset) const;
    std::int64_t rangeSeconds() const;

    // The holder's photo, 102 x 126, Format_RGB888; the same holder always gets the same photo.
    QImage photo(const Holder &holder) const;

    // Which holder each of `readings` readings belongs to (every holder at least once, the rest
    // random), paired with distinct times in ascending order. Needs holders <= readings.
    struct Reading
    {
        int holder;
        std::int64_t offset;
    };
    std::vector<Reading> readings(int readings, int holders);

private:
    Options m_options;
    QDate m_from;
    QDate m_to;
    std::mt19937_64 m_holderRng;
    std::mt19937_64 m_timeRng;
    std::unordered_set<std::string> m_usedIds;
};

QByteArray toPng(const QImage &image);
// A 24-bit BMP file image (54-byte header, bottom-up BGR rows padded to 4 bytes).
QByteArray toBmp(const QImage &image);

struct FillRequest
{
    int readings = 0;
    int holders = 0;
    Options options;
};

struct FillReport
{
    qint64 readings = 0;
    qint64 holders = 0;
    qint64 photoBytes = 0; // all distinct photos encoded, one per holder
    double seconds = 0;
};

// Adds the readings to the water_list table of an existing device database (e.g. a copy of
// input/empty.db). One transaction: on error nothing is added.
bool fillDeviceDatabase(const QString &path, const FillRequest &request, FillReport *report,
                        QString *error);
// Writes a fresh device database at `path` (replacing any file there) from the water_list script
// text, then fills it. Built beside as path.tmp and renamed, so a failure leaves no file.
bool createDeviceDatabase(const QString &path, const QByteArray &script,
                          const FillRequest &request, FillReport *report, QString *error);

// Adds holders and readings to an existing record store (a copy of database/KeepTrackLog.db).
// One transaction; an ID number already in the store is an error and nothing is added.
bool fillRecordStore(const QString &path, const FillRequest &request, FillReport *report,
                     QString *error);
// Copies the template store to `path` (replacing any file there) and fills the copy; built as
// path.tmp and renamed.
bool createRecordStore(const QString &path, const QString &templatePath,
                       const FillRequest &request, FillReport *report, QString *error);

} // namespace idcard::sample
