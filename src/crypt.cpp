#include "crypt.h"

#include <QFile>

#include <mutex>
#include <vector>

namespace {

const int kPssSaltLength = 8;
const qint64 kDigestChunk = 256 * 1024;

int s_Sha1Index = -1;
int s_PrngIndex = -1;

std::once_flag s_CryptoInitialized;

} // namespace

crypt_exception::crypt_exception(std::string message) : m_Message(std::move(message)) {}

const char *crypt_exception::what() const noexcept
{
    return m_Message.c_str();
}

RsaKey::~RsaKey()
{
    if (m_Loaded)
        rsa_free(&m_Key);
}

void initCrypto()
{
    // call_once: a check on a pool thread may be the first caller; a failed attempt is retried.
    std::call_once(s_CryptoInitialized, [] {
        if (register_prng(&sprng_desc) == -1)
            throw crypt_exception("Error registering sha1");
        if (register_hash(&sha1_desc) == -1)
            throw crypt_exception("Error registering sha1");
        ltc_mp = ltm_desc;
        s_Sha1Index = find_hash("sha1");
        s_PrngIndex = find_prng("sprng");
    });
}

int cryptSha1Index()
{
    return s_Sha1Index;
}

int cryptPrngIndex()
{
    return s_PrngIndex;
}

void throwIfCryptError(const char *operation, int code)
{
    if (code == CRYPT_OK)
        return;
    throw crypt_exception(std::string(operation) + " : " + error_to_string(code));
}

void importRsaKey(RsaKey &key, const unsigned char *data, unsigned long length)
{
    if (key.m_Loaded) {
        rsa_free(&key.m_Key);
        key.m_Loaded = false;
    }
    // The library aborts the process on empty input instead of returning an error.
    if (data == nullptr || length == 0)
        throwIfCryptError("rsa_import", CRYPT_INVALID_ARG);
    throwIfCryptError("rsa_import", rsa_import(data, length, &key.m_Key));
    key.m_Loaded = true;
}

bool verifyRsaSignature(RsaKey &key, const unsigned char *data, unsigned long length,
                        const unsigned char *signature, unsigned long signatureLength)
{
    unsigned char digest[20];
    hash_state md;
    throwIfCryptError("sha1", sha1_init(&md));
    throwIfCryptError("sha1", sha1_process(&md, data, length));
    throwIfCryptError("sha1", sha1_done(&md, digest));
    return verifyRsaSignatureOfDigest(key, QByteArray(reinterpret_cast<const char *>(digest), sizeof digest),
                                      signature, signatureLength);
}

bool verifyRsaSignatureOfDigest(RsaKey &key, const QByteArray &sha1Digest, const unsigned char *signature,
                                unsigned long signatureLength)
{
    if (!key.m_Loaded)
        throw crypt_exception("rsa_verify_hash : no key");
    // Null pointers abort inside the library; an empty signature must only fail.
    if (signature == nullptr || sha1Digest.isEmpty())
        throwIfCryptError("rsa_verify_hash", CRYPT_INVALID_ARG);
    int valid = 0;
    throwIfCryptError("rsa_verify_hash",
                      rsa_verify_hash_ex(signature, signatureLength,
                                         reinterpret_cast<const unsigned char *>(sha1Digest.constData()),
                                         static_cast<unsigned long>(sha1Digest.size()), LTC_PKCS_1_PSS,
                                         s_Sha1Index, kPssSaltLength, &valid, &key.m_Key));
    return valid == 1;
}

FileDigestResult digestFile(const QString &path, const ltc_hash_descriptor &hash, QByteArray *digest)
{
    QFile file(path);
    // Unbuffered: the chunks go straight from the file into our buffer.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return DIGEST_OPEN_FAILED;
    hash_state md;
    if (hash.init(&md) != CRYPT_OK)
        return DIGEST_READ_FAILED;
    std::vector<unsigned char> buffer(kDigestChunk);
    qint64 remaining = file.size();
    while (remaining > 0) {
        const qint64 got = file.read(reinterpret_cast<char *>(buffer.data()), qMin(remaining, kDigestChunk));
        if (got <= 0)
            return DIGEST_READ_FAILED;
        if (hash.process(&md, buffer.data(), static_cast<unsigned long>(got)) != CRYPT_OK)
            return DIGEST_READ_FAILED;
        remaining -= got;
    }
    digest->resize(static_cast<int>(hash.hashsize));
    if (hash.done(&md, reinterpret_cast<unsigned char *>(digest->data())) != CRYPT_OK)
        return DIGEST_READ_FAILED;
    return DIGEST_OK;
}
