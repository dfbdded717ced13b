// Thin wrapper around libtomcrypt (descriptor registration, RSA-PSS verification) and libcrypto
// (file digests).
// Library failures become crypt_exception; callers catch it at their boundary.
#pragma once

#include <tomcrypt.h>

#include <QByteArray>
#include <QString>

#include <exception>
#include <string>

class crypt_exception : public std::exception {
public:
    explicit crypt_exception(std::string message);
    const char *what() const noexcept override;

private:
    std::string m_Message;
};

// An RSA key that frees itself once it was imported.
class RsaKey {
public:
    RsaKey() = default;
    ~RsaKey();
    RsaKey(const RsaKey &) = delete;
    RsaKey &operator=(const RsaKey &) = delete;

    rsa_key m_Key{};
    bool m_Loaded = false;
};

// Registers the "sprng" generator, SHA-1 and the libtommath math provider. Runs its work once per
// process, whoever calls it first; the tables are only read afterwards.
void initCrypto();
int cryptSha1Index();
int cryptPrngIndex();

void throwIfCryptError(const char *operation, int code);

// PKCS #1 (or X.509 SubjectPublicKeyInfo) DER, public or private.
void importRsaKey(RsaKey &key, const unsigned char *data, unsigned long length);

// RSASSA-PSS with SHA-1, MGF1-SHA-1 and an 8-byte salt over data.
bool verifyRsaSignature(RsaKey &key, const unsigned char *data, unsigned long length,
                        const unsigned char *signature, unsigned long signatureLength);
// The same for data whose SHA-1 digest (20 bytes) is already known.
bool verifyRsaSignatureOfDigest(RsaKey &key, const QByteArray &sha1Digest, const unsigned char *signature,
                                unsigned long signatureLength);

enum FileDigestResult {
    DIGEST_OK = 0,
    DIGEST_OPEN_FAILED = 1,
    DIGEST_READ_FAILED = 2,
};

enum DigestKind {
    DIGEST_SHA1,
    DIGEST_SHA512,
};

// Digest of a whole file, read in fixed-size chunks so that memory does not grow with the file.
FileDigestResult digestFile(const QString &path, DigestKind kind, QByteArray *digest);
