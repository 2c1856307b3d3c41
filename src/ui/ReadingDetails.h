#pragma once
// The details pane below the list: the current reading's holder (sex, nation, birth, issuer,
// validity, photo), whether the holder is on the watch list, the checks of the reading, and the
// station that imported it.

#include <QSqlDatabase>
#include <QString>

class QLabel;
class QLineEdit;

// c_period of a holder: first day, "--", last day, cut to 30 characters.
QString CalcPeriod(const QString& begin, const QString& end);

class ReadingDetails {
public:
    struct Controls {
        QLineEdit* sex;
        QLineEdit* nation;
        QLineEdit* born;
        QLineEdit* grantdept;
        QLineEdit* period;
        QLabel* photo;
        QLabel* listed;
        QLabel* checks;
        QLabel* station; // 采集站点: the station that imported the reading
    };
    explicit ReadingDetails(const Controls& controls) : m_c(controls) {}

    // Shows reading serialno of holder idcardno; serialno < 0 or a closed store clears the pane.
    void Show(QSqlDatabase db, qint64 serialno, const QString& idcardno);
    void Clear();

private:
    Controls m_c;
};
