#include "crypt.h"

#include <QFile>

#include <openssl/evp.h>

#include <memory>
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

FileDigestResult digestFile(const QString &path, DigestKind kind, QByteArray *digest)
{
    QFile file(path);
    // Unbuffered: the chunks go straight from the file into our buffer.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return DIGEST_OPEN_FAILED;
    // libcrypto's digests use the vector units: its SHA-512 hashes well over twice as fast as
    // portable C, which matters when every downloaded and installed byte is checked.
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    const EVP_MD *type = kind == DIGEST_SHA1 ? EVP_sha1() : EVP_sha512();
    if (!md || EVP_DigestInit_ex(md.get(), type, nullptr) != 1)
        return DIGEST_READ_FAILED;
    std::vector<unsigned char> buffer(kDigestChunk);
    qint64 remaining = file.size();
    while (remaining > 0) {
        const qint64 got = file.read(reinterpret_cast<char *>(buffer.data()), qMin(remaining, kDigestChunk));
        if (got <= 0)
            return DIGEST_READ_FAILED;
        if (EVP_DigestUpdate(md.get(), buffer.data(), static_cast<size_t>(got)) != 1)
            return DIGEST_READ_FAILED;
        remaining -= got;
    }
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(md.get(), value, &length) != 1)
        return DIGEST_READ_FAILED;
    *digest = QByteArray(reinterpret_cast<const char *>(value), static_cast<int>(length));
    return DIGEST_OK;
}
