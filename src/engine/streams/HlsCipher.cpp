#include "engine/streams/HlsCipher.h"

#include <openssl/evp.h>

#include <algorithm>
#include <climits>

namespace cw {

namespace {

constexpr const char* kDoesNotDecrypt = "the segment does not decrypt (wrong key or cut short)";
// OpenSSL counts in int; larger pieces are fed in slices of this size.
constexpr std::size_t kSlice = 1 << 20;

} // namespace

THlsDecryptor::THlsDecryptor() : FCtx(EVP_CIPHER_CTX_new()) {}

THlsDecryptor::~THlsDecryptor()
{
    EVP_CIPHER_CTX_free(FCtx);
}

bool THlsDecryptor::Fail(const char* why)
{
    FStarted = false;
    FError = why;
    return false;
}

bool THlsDecryptor::Begin(const std::string& key, const std::array<std::uint8_t, 16>& iv)
{
    FError.clear();
    FStarted = false;
    if (key.size() != 16)
        return Fail("the key is not 16 bytes long");
    if (!FCtx || EVP_DecryptInit_ex(FCtx, EVP_aes_128_cbc(), nullptr,
                                    reinterpret_cast<const unsigned char*>(key.data()), iv.data()) != 1)
        return Fail("the decryption could not start");
    FStarted = true;
    return true;
}

bool THlsDecryptor::Update(const char* data, std::size_t size, std::string& out)
{
    if (!FStarted)
        return Fail("no segment key is set");
    while (size > 0) {
        const std::size_t slice = std::min(size, kSlice);
        const std::size_t had = out.size();
        // A call gives back at most the piece and the block held back from the one before.
        out.resize(had + slice + 16);
        int written = 0;
        if (EVP_DecryptUpdate(FCtx, reinterpret_cast<unsigned char*>(&out[had]), &written,
                              reinterpret_cast<const unsigned char*>(data), static_cast<int>(slice)) != 1) {
            out.resize(had);
            return Fail(kDoesNotDecrypt);
        }
        out.resize(had + static_cast<std::size_t>(written));
        data += slice;
        size -= slice;
    }
    return true;
}

bool THlsDecryptor::Finish(std::string& out)
{
    if (!FStarted)
        return Fail("no segment key is set");
    const std::size_t had = out.size();
    out.resize(had + 16);
    int written = 0;
    if (EVP_DecryptFinal_ex(FCtx, reinterpret_cast<unsigned char*>(&out[had]), &written) != 1) {
        out.resize(had);
        return Fail(kDoesNotDecrypt);
    }
    out.resize(had + static_cast<std::size_t>(written));
    FStarted = false;
    return true;
}

} // namespace cw
