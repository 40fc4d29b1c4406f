#include "options/DialogResources.h"

#include <zlib.h>

#include <limits>

namespace qor {

std::string FormDataText(std::string_view scriptXml, std::string_view formName,
                         std::span<const std::string_view> settingsMap) {
    std::string text;
    text.reserve(scriptXml.size() * 2);
    for (std::size_t i = 0; i < scriptXml.size(); ++i) {
        if (scriptXml[i] == '\n' && (i == 0 || scriptXml[i - 1] != '\r'))
            text += '\r';
        text += scriptXml[i];
    }
    // The separator brings its own line end; a trailing one of the XML would
    // make a second empty line.
    while (text.ends_with("\r\n"))
        text.resize(text.size() - 2);
    text += kFormDataSeparator;
    text += formName;
    text += kFormDataSeparator;
    for (const std::string_view line : settingsMap) {
        text += line;
        text += "\r\n";
    }
    return text;
}

std::vector<std::uint8_t> GzipMember(std::string_view text, std::string_view storedName) {
    if (text.size() > std::numeric_limits<uInt>::max())
        throw EGzipError("Text too large to compress");
    z_stream z{};
    // 15 + 16: a gzip wrapper around the deflate data.
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw EGzipError("Cannot start compression");
    std::string name(storedName);
    gz_header header{};
    header.name = reinterpret_cast<Bytef*>(name.data()); // written up to its zero byte
    header.os = 255;                                     // unknown: the bytes do not depend on the builder
    deflateSetHeader(&z, &header);
    std::vector<std::uint8_t> out(deflateBound(&z, static_cast<uLong>(text.size())) + name.size() + 1);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int r = deflate(&z, Z_FINISH);
    const std::size_t written = out.size() - z.avail_out;
    deflateEnd(&z);
    if (r != Z_STREAM_END)
        throw EGzipError("Compression did not finish");
    out.resize(written);
    return out;
}

std::string GunzipMember(std::span<const std::uint8_t> bytes, std::size_t maxSize) {
    if (bytes.size() > std::numeric_limits<uInt>::max())
        throw EGzipError("Compressed data too large");
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK) // gzip only
        throw EGzipError("Cannot start decompression");
    z.next_in = const_cast<Bytef*>(bytes.data());
    z.avail_in = static_cast<uInt>(bytes.size());
    std::string text;
    char chunk[16384];
    int r = Z_OK;
    do {
        z.next_out = reinterpret_cast<Bytef*>(chunk);
        z.avail_out = sizeof chunk;
        r = inflate(&z, Z_NO_FLUSH);
        if (r != Z_OK && r != Z_STREAM_END) {
            inflateEnd(&z);
            throw EGzipError(r == Z_BUF_ERROR ? "Compressed data truncated" : "Compressed data damaged");
        }
        const std::size_t got = sizeof chunk - z.avail_out;
        if (text.size() + got > maxSize) {
            inflateEnd(&z);
            throw EGzipError("Decompressed text too large");
        }
        text.append(chunk, got);
    } while (r != Z_STREAM_END);
    const bool trailing = z.avail_in != 0;
    inflateEnd(&z);
    if (trailing)
        throw EGzipError("Bytes after the compressed member");
    return text;
}

std::vector<std::string> SplitFormData(std::string_view text) {
    std::vector<std::string> sections;
    for (;;) {
        const std::size_t at = text.find(kFormDataSeparator);
        sections.emplace_back(text.substr(0, at));
        if (at == std::string_view::npos)
            return sections;
        text.remove_prefix(at + kFormDataSeparator.size());
    }
}

} // namespace qor
