#include "SettingsDialog.h"

#include "Global.h"
#include "Settings.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QSysInfo>
#include <QVBoxLayout>

SettingsDialog::SettingsDialog(QString programFolder, QWidget* parent)
    : QDialog(parent), m_folder(std::move(programFolder)), m_days(new QLineEdit(this)), m_station(new QLineEdit(this))
{
    setObjectName(QStringLiteral("SettingsDialog"));
    setWindowTitle(QStringLiteral("设置"));
    const Settings settings(m_folder);
    m_days->setObjectName(QStringLiteral("retentionDays"));
    m_days->setPlaceholderText(QStringLiteral("空：永久保存"));
    if (settings.RetentionDays() > 0)
        m_days->setText(QString::number(settings.RetentionDays()));
    m_station->setObjectName(QStringLiteral("stationName"));
    m_station->setPlaceholderText(QSysInfo::machineHostName());
    m_station->setText(settings.StationSetting());

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("刷卡记录保存天数："), m_days);
    form->addRow(QStringLiteral("本站名称："), m_station);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("settingsButtons"));
    connect(buttons, &QDialogButtonBox::accepted, this, &SettingsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

void SettingsDialog::accept()
{
    const QString text = m_days->text().trimmed();
    bool ok = true;
    const int days = text.isEmpty() ? 0 : text.toInt(&ok);
    if (!ok || days < 0 || (!text.isEmpty() && days == 0)) {
        ShowWarning(QStringLiteral("保存天数须为正整数，留空表示永久保存"));
        return;
    }
    QString error;
    if (!Settings(m_folder).Save(days, m_station->text(), &error)) {
        ShowError(error);
        return;
    }
    QDialog::accept();
}
