#pragma once
// 设置: the program's settings (idcard.ini in the program folder).

#include <QDialog>

class QLineEdit;

class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    SettingsDialog(QString programFolder, QWidget* parent = nullptr);

    // Writes the settings when they are valid; otherwise says why and keeps the dialog open.
    void accept() override;

private:
    QString m_folder;
    QLineEdit* m_days;
    QLineEdit* m_station;
};
