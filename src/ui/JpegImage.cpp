#include "ui/JpegImage.h"

#include "platform/Log.h"
#include "platform/Types.h"

#include <QFile>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
// libjpeg's header expects size_t and FILE to be declared first.
#include <jpeglib.h>

namespace cw {
namespace {

// libjpeg reports fatal errors through error_exit, which must not return. It jumps back to
// Decode, which has no objects with destructors between the setjmp and the libjpeg calls.
struct ErrorManager {
    jpeg_error_mgr Base;
    std::jmp_buf Jump;
    char Message[JMSG_LENGTH_MAX];
};

void OnError(j_common_ptr info)
{
    auto* err = reinterpret_cast<ErrorManager*>(info->err);
    (*info->err->format_message)(info, err->Message);
    std::longjmp(err->Jump, 1);
}

// Warnings (corrupt but decodable data) are not worth a word; the picture is shown as decoded.
void OnMessage(j_common_ptr, int) {}

// The libjpeg part, kept free of C++ objects that need destroying so longjmp is safe. Fills
// the image row by row. Returns false with the reason in Message on failure.
struct DecodeState {
    const unsigned char* Data;
    unsigned long Size;
    QImage* Image;
    char* Message;
    unsigned char* Row; // lives here, not in a register, so it is still right after longjmp
};

bool RunDecoder(DecodeState& state)
{
    jpeg_decompress_struct info;
    ErrorManager err;
    info.err = jpeg_std_error(&err.Base);
    err.Base.error_exit = OnError;
    err.Base.emit_message = OnMessage;
    err.Message[0] = 0;
    state.Row = nullptr;

    if (setjmp(err.Jump)) {
        std::snprintf(state.Message, JMSG_LENGTH_MAX, "%s", err.Message);
        std::free(state.Row);
        state.Row = nullptr;
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, state.Data, state.Size);
    jpeg_read_header(&info, TRUE);

    bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    info.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_start_decompress(&info);

    const int width = static_cast<int>(info.output_width);
    const int height = static_cast<int>(info.output_height);
    const int components = info.output_components;
    if (width <= 0 || height <= 0 || width > JpegImage::MaxSide || height > JpegImage::MaxSide ||
        (components != 3 && components != 4)) {
        std::snprintf(state.Message, JMSG_LENGTH_MAX, "unsupported picture size or format");
        jpeg_destroy_decompress(&info);
        return false;
    }
    *state.Image = QImage(width, height, QImage::Format_RGB32);
    if (state.Image->isNull()) {
        std::snprintf(state.Message, JMSG_LENGTH_MAX, "out of memory");
        jpeg_destroy_decompress(&info);
        return false;
    }
    state.Row = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(width) * components));
    unsigned char* const row = state.Row;
    if (!row) {
        std::snprintf(state.Message, JMSG_LENGTH_MAX, "out of memory");
        jpeg_destroy_decompress(&info);
        return false;
    }
    while (info.output_scanline < info.output_height) {
        const int y = static_cast<int>(info.output_scanline);
        JSAMPROW rows[1] = {row};
        if (jpeg_read_scanlines(&info, rows, 1) != 1)
            break; // no progress: keep the rows we have
        auto* out = reinterpret_cast<QRgb*>(state.Image->scanLine(y));
        for (int x = 0; x < width; ++x) {
            const unsigned char* p = row + x * components;
            if (cmyk) {
                // Adobe writes CMYK inverted: the stored values are already 255 - ink.
                int k = p[3];
                out[x] = qRgb(p[0] * k / 255, p[1] * k / 255, p[2] * k / 255);
            } else {
                out[x] = qRgb(p[0], p[1], p[2]);
            }
        }
    }
    std::free(state.Row);
    state.Row = nullptr;
    // A truncated file still shows its upper part (libjpeg pads missing data); only a decoder
    // that stopped short is aborted rather than finished.
    if (info.output_scanline < info.output_height)
        jpeg_abort_decompress(&info);
    else
        jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

} // namespace

QImage JpegImage::Decode(const char* data, std::size_t size)
{
    if (!data || size == 0)
        throw Exception("Not a JPEG picture: no data");
    QImage image;
    char message[JMSG_LENGTH_MAX] = {0};
    DecodeState state{reinterpret_cast<const unsigned char*>(data), static_cast<unsigned long>(size), &image, message,
                      nullptr};
    if (!RunDecoder(state))
        throw Exception(std::string("Not a usable JPEG picture: ") + message);
    return image;
}

QImage JpegImage::Load(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QImage();
    QByteArray bytes = file.readAll();
    try {
        return Decode(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    } catch (const Exception& e) {
        LogLine("jpeg", path.toStdString() + ": " + e.Message());
        return QImage();
    }
}

} // namespace cw
