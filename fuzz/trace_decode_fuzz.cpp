// trace_decode_fuzz.cpp — any bytes as a trace file, decoded as text and as JSON, whole and in
// pieces. Besides the sanitizers' findings, it fails when the pieces say anything but what the
// whole says, or when a line holds a byte that is not printable.
// Links: kavi_formats
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/kavi/trace_decode.h"

namespace {

std::string decode(std::string_view file, size_t piece, kavitool::TraceFormat format) {
    std::string said;
    kavitool::TraceDecoder decoder(
        "f", format, [&](const std::string &line) { said += line; },
        [&](const std::string &message) { said += "! " + message + "\n"; });
    for (size_t at = 0; at < file.size(); at += piece) decoder.feed(file.substr(at, piece), false);
    said += decoder.finish() ? "intact\n" : "damaged\n";
    return said;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using kavitool::TraceFormat;
    std::string_view file(reinterpret_cast<const char *>(data), size);
    std::string text = decode(file, size + 1, TraceFormat::text);
    std::string json = decode(file, size + 1, TraceFormat::json);
    for (unsigned char ch : text + json)
        if (ch != '\n' && (ch < 0x20 || ch > 0x7E)) std::abort();
    // Pieces of a size the input chooses: small enough to cut records anywhere, few enough to
    // keep each run fast. The walk is the same whatever the format, so one format is enough.
    size_t piece = size / 8 + 1 + (size > 0 ? data[0] % 17 : 0);
    if (decode(file, piece, TraceFormat::text) != text) std::abort();
    return 0;
}
