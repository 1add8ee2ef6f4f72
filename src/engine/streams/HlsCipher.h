#pragma once
// The decryption of HLS segments encrypted with METHOD=AES-128: each segment (and each
// initialization section) is one AES-128-CBC message with PKCS#7 padding, under a 16-byte key
// fetched from the key's address and the IV HlsSegmentIv gives. Segments arrive in pieces as
// the network delivers them; the plaintext is appended as it becomes known.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace cw {

class THlsDecryptor {
public:
    THlsDecryptor();
    ~THlsDecryptor();
    THlsDecryptor(const THlsDecryptor&) = delete;
    THlsDecryptor& operator=(const THlsDecryptor&) = delete;

    // Starts a segment. False with Error() when the key is not 16 bytes.
    bool Begin(const std::string& key, const std::array<std::uint8_t, 16>& iv);
    // Appends the plaintext of the next piece to out (up to a block is held back for Finish).
    bool Update(const char* data, std::size_t size, std::string& out);
    // Appends the last block. False with Error() when the padding is wrong or the segment does
    // not end on a block boundary: the key is wrong or the segment was cut short.
    bool Finish(std::string& out);
    const std::string& Error() const { return FError; }

private:
    EVP_CIPHER_CTX* FCtx = nullptr;
    bool FStarted = false;
    std::string FError;

    bool Fail(const char* why);
};

} // namespace cw
