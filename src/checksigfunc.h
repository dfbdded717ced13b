// Worker of CheckSignatureTaskSpecification: a file against a SHA-512 value, or against the RSA
// signature in the file beside it (FILE + ".sig").
#pragma once

#include "asyncfunc.h"
#include "crypt.h"

#include <QByteArray>
#include <QString>

class CheckSigFunc : public ASyncFunc {
    Q_OBJECT

public:
    // publicKeyDer: PKCS #1 RSAPublicKey; the updater always uses the built-in key, the release
    // tool may check with another one.
    CheckSigFunc(const QString &fileName, const QString &sha512,
                 const QByteArray &publicKeyDer = builtInPublicKey());

    static QByteArray builtInPublicKey();

    bool run() override;
    bool checkRSA();
    bool checkSHA512();

    QString m_FileName;
    QString m_Sha512;
    QByteArray m_PublicKey;

private:
    bool digestFile(const QString &path, DigestKind kind, QByteArray &digest);
    bool readWholeFile(const QString &path, QByteArray &out, qint64 maxSize);
};
