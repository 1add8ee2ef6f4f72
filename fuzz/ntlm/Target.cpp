// The server's NTLM challenge, both as the Base64 text of the header (the input itself) and as
// the decoded message (the input encoded). Decoding must never read outside the message, and a
// challenge it accepts must be answerable.

#include "FuzzSupport.h"

#include "net/http/Base64.h"
#include "net/http/Ntlm.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string raw(reinterpret_cast<const char*>(data), size);
    for (const std::string& text : {raw, cw::Base64Encode(raw)}) {
        cw::TNTLM_Msg2_Info info = cw::NtlmGetMessage2(text);
        if (!info.Valid)
            continue;
        if (info.Domain.size() > size || info.Server.size() > size || info.DnsDomain.size() > size)
            cwfuzz::Fail("a decoded name is longer than the message");
        std::string answer = cw::NtlmGetMessage3("HOST", info.Domain, "user", "password", info.Challenge);
        if (answer.empty())
            cwfuzz::Fail("an accepted challenge gave no answer");
    }
    return 0;
}
