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
// check_record message.
EngineRecord decode(std::span<const std::uint8_t> bytes);

// Refuses a record that no request could read safely, and nothing that
// construction and the overrides can make from sound tables: ValueError
// "inconsistent engine record: ..." naming the first fault of
// - the EASE block: ease_dim above n_items, or ease_b not ease_dim^2 values
//   (construction refuses both);
// - a count a request allocates by: n_items, n_users (when the item -> user
//   table is there, so that user-CF can run) and content_nfeat (when content
//   rows are there) may exceed kUnbackedCount only up to the number of array
//   values the record holds, so that a request never costs more than a small
//   multiple of the record's size;
// - a table a request can read: a row below n_items (n_users for uri_indptr)
//   that runs outside its arrays, or an entry of such a row whose column is
//   not below the size it indexes (n_items for cooc, trans and uri; n_users
//   for uu_data; content_nfeat; a boost layer's own rows). Rows past those
//   bounds and entries no such row covers are never read and not checked; so
//   are the co-occurrence table of an EASE engine and content rows without
//   features. Row counts are free: tables shorter or longer than the
//   catalogue, a repeat profile of any shape and per-item arrays of another
//   length load as they are.
void check_record(const EngineRecord& record);

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
