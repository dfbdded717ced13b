// The demo key pair and the openssl command line as the independent witness of signatures.
#pragma once

#include "testutil.h"

#include <QString>
#include <QStringList>

namespace witness {

inline const QString kDemoPrivateKey = QStringLiteral(TL3_SOURCE_DIR "/keys/demo_private.pem");
inline const QString kDemoPublicKey = QStringLiteral(TL3_SOURCE_DIR "/keys/demo_public.der");

inline int openssl(const QStringList &args, QByteArray *out = nullptr)
{
    return testutil::runProgram("openssl", args, out);
}

// RSASSA-PSS, SHA-1 (MGF1 too), 8-byte salt: the updater's signature format.
inline QStringList pssDigest()
{
    return {"dgst", "-sha1", "-sigopt", "rsa_padding_mode:pss", "-sigopt", "rsa_pss_saltlen:8"};
}

inline bool opensslSign(const QString &file, const QString &privatePem, const QString &sigPath)
{
    return openssl(pssDigest() + QStringList({"-sign", privatePem, "-out", sigPath, file})) == 0;
}

inline bool opensslVerify(const QString &file, const QString &publicPem, const QString &sigPath)
{
    return openssl(pssDigest() + QStringList({"-verify", publicPem, "-signature", sigPath, file})) == 0;
}

} // namespace witness
