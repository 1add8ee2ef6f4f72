#pragma once
// The content-coding stage between the body decoder and the caller's stream. It keeps a
// registry of codings the client may announce in Accept-Encoding and, for each body, chains
// the codings named by Content-Encoding in front of the output. The registry holds
// "identity" and "*", neither of which transforms data; a coding name we do not know drops
// the whole chain so the body is passed on unchanged rather than half-decoded.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace cw {

using TContentSink = std::function<void(const char* data, std::size_t len)>;

// One coding of a body. A transforming coding writes its output to Next.
class THttpContentCoding {
public:
    virtual ~THttpContentCoding() = default;
    virtual void WriteBuffer(const char* data, std::size_t len) { Next(data, len); }
    // The body is complete: flush whatever is held back.
    virtual void Complete() {}
    TContentSink Next;
};

struct THttpContCodItem {
    std::string Name;
    double Quality = 0;
    bool Enabled = true;
    std::function<std::unique_ptr<THttpContentCoding>()> Create;
};

class THttpContCodHandler {
public:
    THttpContCodHandler();

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool value) { FEnabled = value; }
    bool UseQuality() const { return FUseQuality; }
    void SetUseQuality(bool value) { FUseQuality = value; }

    // The Accept-Encoding value: "" while disabled.
    std::string HeaderText() const;

    // Start a body with the given Content-Encoding; output goes to sink.
    void Prepare(const std::string& contentEncoding, TContentSink sink);
    void WriteBuffer(const char* data, std::size_t len);
    void Complete();

    std::vector<THttpContCodItem>& Codings() { return FCodings; }

private:
    bool FEnabled = false;
    bool FUseQuality = false;
    bool FCompleted = false;
    std::vector<THttpContCodItem> FCodings;
    std::vector<std::unique_ptr<THttpContentCoding>> FChain; // FChain.front() receives the body
    TContentSink FSink;
};

} // namespace cw
