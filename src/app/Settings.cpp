#include "Settings.h"

#include <QDir>
#include <QSettings>
#include <QSysInfo>

namespace {
const char* const kRetentionDays = "retention/days";
const char* const kStationName = "station/name";
const char* const kStoreConnection = "store/connection";
} // namespace

Settings::Settings(QString programFolder) : m_folder(std::move(programFolder)) {}

QString Settings::FilePath() const { return QDir(m_folder).filePath(QLatin1String(kFileName)); }

int Settings::RetentionDays() const
{
    const QSettings ini(FilePath(), QSettings::IniFormat);
    bool ok = false;
    const int days = ini.value(QLatin1String(kRetentionDays)).toString().trimmed().toInt(&ok);
    // A text that is not a whole number of days keeps everything rather than guessing.
    return ok && days > 0 ? days : 0;
}

QString Settings::StationSetting() const
{
    const QSettings ini(FilePath(), QSettings::IniFormat);
    return ini.value(QLatin1String(kStationName)).toString().trimmed();
}

QString Settings::StationName() const
{
    const QString name = StationSetting();
    return name.isEmpty() ? QSysInfo::machineHostName() : name;
}

QString Settings::StoreConnection() const
{
    const QSettings ini(FilePath(), QSettings::IniFormat);
    // QSettings splits an unquoted value at its commas; a connection text has none of its own.
    const QVariant value = ini.value(QLatin1String(kStoreConnection));
    return (value.typeId() == QMetaType::QStringList ? value.toStringList().join(u',') : value.toString()).trimmed();
}

bool Settings::Save(int retentionDays, const QString& station, QString* error) const
{
    QSettings ini(FilePath(), QSettings::IniFormat);
    ini.setValue(QLatin1String(kRetentionDays), retentionDays > 0 ? QString::number(retentionDays) : QString());
    ini.setValue(QLatin1String(kStationName), station.trimmed());
    ini.sync();
    if (ini.status() != QSettings::NoError) {
        if (error)
            *error = QStringLiteral("无法写入设置文件 %1").arg(QDir::toNativeSeparators(FilePath()));
        return false;
    }
    return true;
}
