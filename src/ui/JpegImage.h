#pragma once
// JPEG pictures of the windows' designs (banner, logo, panels), decoded with libjpeg.
//
// Decoding never trusts the data: a damaged or truncated file, a file that is not a JPEG at all
// or one with absurd dimensions gives a null image (and, through the throwing variant, an
// Exception naming the problem) instead of a crash. Greyscale, YCbCr/RGB and CMYK/YCCK
// pictures come out as 32-bit RGB images.

#include <QImage>
#include <QString>
#include <string>

namespace cw {

class JpegImage {
public:
    // Largest width or height accepted; artwork is far smaller, this only stops a damaged
    // header from asking for gigabytes.
    static constexpr int MaxSide = 8192;

    // Decode JPEG bytes; throws Exception when they cannot be decoded.
    static QImage Decode(const char* data, std::size_t size);
    static QImage Decode(const std::string& bytes) { return Decode(bytes.data(), bytes.size()); }

    // Read a file or a resource (":/assets/banner.jpg") and decode it. A null image when it is
    // missing or cannot be decoded: artwork that fails to load leaves its place empty.
    static QImage Load(const QString& path);
};

} // namespace cw
