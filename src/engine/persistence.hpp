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
// the bad-flag message for a flag byte other than 0 or 1, or the
// check_sizes message.
EngineRecord decode(std::span<const std::uint8_t> bytes);

// The sizes a request allocates by must agree with the arrays that carry
// them, so that a record read from outside cannot make a request ask for
// more memory than a few times its own size. ValueError
// "inconsistent engine record: ..." naming the first count that fails:
// - n_items: item_pop, trend_z, content_coldness and cold_recency hold
//   n_items entries when not empty; the item CSR offsets (cooc, trans,
//   content, uu, and each boost layer's) n_items + 1; ease_dim is at most
//   n_items and ease_b holds ease_dim^2 values;
// - n_users: uu_deg holds n_users entries and the user offsets (uri,
//   repeat) n_users + 1 when not empty;
// - n_items, n_users and content_nfeat may exceed kUnbackedCount only when
//   an array of that extent backs them (content_nfeat: content_indices).
void check_sizes(const EngineRecord& record);

// A record read from the `length` bytes at `offset` of the open regular file
// `fd` (a section of a model file), with the CRC-32 (as zlib computes it) of
// all those bytes, the record's and any after it: a check over exactly the
// bytes used, whatever happens to the file meanwhile. Errors as load_record;
// a file shorter than offset + length ends the data early.
struct SectionRecord {
    EngineRecord record;
    std::uint32_t crc = 0;
};
SectionRecord load_section(int fd, std::uint64_t offset, std::uint64_t length);

// The largest count a record may hold without an array of that extent.
inline constexpr std::uint64_t kUnbackedCount = std::uint64_t{1} << 16;

// Writes the encoding to `path`. The new content goes to a temporary file in
// the same directory, is flushed to disk and then renamed over `path`, so a
// failure leaves an existing file untouched and no temporary file behind.
// Temporary files of earlier saves to the same target whose process is gone
// (killed mid-save) and that have not changed for a minute are removed.
// IOError "<system text> (os error N)", or for a path holding a NUL character
// "file name contained an unexpected NUL byte".
void save_record(const EngineRecord& record, const std::string& path);

// Reads and decodes the regular file at `path`: IOError as for save_record,
// ValueError as for decode, or "'<path>' is not a regular file" for a pipe,
// a device or a directory (which can yield data without end).
EngineRecord load_record(const std::string& path);

}  // namespace tarsel::engine
