// The engine record's binary encoding and its file form.
//
// Layout: the 49 fields in declaration order, integers and reals fixed-width
// little-endian, flags one byte (0 or 1), every vector a u64 element count
// followed by its elements back to back, the boost list a u64 layer count
// followed by each layer's data, indices and indptr vectors. No header, no
// padding, no checksum.
#pragma once

#include "engine/record.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace tarsel::engine {

// The exact length of the record's encoding in bytes.
std::size_t encoded_size(const EngineRecord& record);

// Writes the encoding into `out`, which must be exactly encoded_size() bytes.
void encode_into(const EngineRecord& record, std::span<std::uint8_t> out);

// Decodes a record from the front of `bytes`; bytes after it are ignored.
// ValueError "io error: unexpected end of file" when the data ends early (a
// hostile element count ends here too, before anything is allocated for it),
// or the bad-flag message for a flag byte other than 0 or 1.
EngineRecord decode(std::span<const std::uint8_t> bytes);

// Writes the encoding to `path`. The new content goes to a temporary file in
// the same directory, is flushed to disk and then renamed over `path`, so a
// failure leaves an existing file untouched and no temporary file behind.
// IOError "<system text> (os error N)", or for a path holding a NUL character
// "file name contained an unexpected NUL byte".
void save_record(const EngineRecord& record, const std::string& path);

// Reads and decodes the file at `path`: IOError as for save_record, ValueError
// as for decode.
EngineRecord load_record(const std::string& path);

}  // namespace tarsel::engine
