#include "checksigfunc.h"

#include "buildconfig.h"
#include "crypt.h"

#include <QDebug>
#include <QFile>

namespace {

// Far above any RSA modulus we accept; a longer ".sig" is not read whole (it is rejected anyway).
const qint64 kMaxSignatureSize = 4096;

} // namespace

CheckSigFunc::CheckSigFunc(const QString &fileName, const QString &sha512, const QByteArray &publicKeyDer)
    : m_FileName(fileName), m_Sha512(sha512), m_PublicKey(publicKeyDer)
{
}

QByteArray CheckSigFunc::builtInPublicKey()
{
    return QByteArray::fromRawData(reinterpret_cast<const char *>(buildconfig::kPublicKeyDer),
                                   static_cast<int>(buildconfig::kPublicKeyDerSize));
}

bool CheckSigFunc::run()
{
    if (!m_Sha512.isEmpty())
        return checkSHA512();
    return checkRSA();
}

bool CheckSigFunc::checkRSA()
{
    QByteArray digest;
    if (!digestFile(m_FileName, DIGEST_SHA1, digest)) {
        qDebug() << "RSA check failed, could not read" << m_FileName;
        return false;
    }
    const QString sigName = m_FileName + ".sig";
    QByteArray sig;
    if (!readWholeFile(sigName, sig, kMaxSignatureSize)) {
        qDebug() << "RSA check failed, could not read" << sigName;
        return false;
    }
    try {
        initCrypto();
        RsaKey key;
        importRsaKey(key, reinterpret_cast<const unsigned char *>(m_PublicKey.constData()),
                     static_cast<unsigned long>(m_PublicKey.size()));
        const bool valid =
            verifyRsaSignatureOfDigest(key, digest, reinterpret_cast<const unsigned char *>(sig.constData()),
                                       static_cast<unsigned long>(sig.size()));
        qDebug() << "RSA check" << valid;
        return valid;
    } catch (const crypt_exception &e) {
        qDebug() << "RSA check failed, caught exception" << e.what();
        return false;
    }
}

bool CheckSigFunc::checkSHA512()
{
    QByteArray digest;
    if (!digestFile(m_FileName, DIGEST_SHA512, digest))
        return false;
    const QString hex = QString::fromLatin1(digest.toHex());
    const bool match = m_Sha512.compare(hex, Qt::CaseInsensitive) == 0;
    qDebug() << "SHA512 check:" << m_Sha512 << hex << "=>" << match;
    return match;
}

// The reading step of both checks: the file is hashed while it is read, chunk by chunk.
bool CheckSigFunc::digestFile(const QString &path, DigestKind kind, QByteArray &digest)
{
    switch (::digestFile(path, kind, &digest)) {
    case DIGEST_OK:
        return true;
    case DIGEST_OPEN_FAILED:
        emit message(QString("Could not open file %1 for reading").arg(path));
        return false;
    case DIGEST_READ_FAILED:
        break;
    }
    emit message(QString("could not read file %1 correctly").arg(path));
    return false;
}

bool CheckSigFunc::readWholeFile(const QString &path, QByteArray &out, qint64 maxSize)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        emit message(QString("Could not open file %1 for reading").arg(path));
        return false;
    }
    const qint64 size = qMin(file.size(), maxSize + 1);
    out.resize(static_cast<int>(size));
    if (file.read(out.data(), size) != size) {
        emit message(QString("could not read file %1 correctly").arg(path));
        return false;
    }
    file.close();
    return true;
}
