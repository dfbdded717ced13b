// Checks a file against an expected SHA-512 value or, when none is given, against its RSA signature.
#pragma once

#include "asynctaskspecification.h"

#include <QString>

class CheckSignatureTaskSpecification : public ASyncTaskSpecification {
    Q_OBJECT

public:
    CheckSignatureTaskSpecification(const QString &fileName, const QString &sha512, bool failOnMismatch,
                                    QObject *parent, qreal weight);

    QString m_FileName;
    QString m_Sha512;      // hexadecimal, any case; empty selects the RSA check
    bool m_FailOnMismatch; // false: a failed check is reported but the task still finishes

signals:
    // Emitted before the task ends, so a receiver may act while the check is still running.
    void checkDone(bool pass, CheckSignatureTaskSpecification *);

protected:
    ASyncFunc *createFunc() override;
    void runDone(bool ok) override;
};

Q_DECLARE_METATYPE(CheckSignatureTaskSpecification *)
