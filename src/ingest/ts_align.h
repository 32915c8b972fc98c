// Realigns a byte stream of MPEG-TS packets that arrives in pieces of any size (UDP
// datagrams, RTP payloads) into entries of whole 188-byte packets. Bytes of a packet that
// a piece leaves incomplete are carried over to the next piece, never cut off and never
// handed out twice. Lost sync (a sync byte missing where a packet should start) is found
// again by looking for a sync byte at p and p + 188.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kx {

inline constexpr int kTsPacketBytes = 188;
inline constexpr uint8_t kTsSyncByte = 0x47;
inline constexpr int kTsPacketsPerEntry = 7;
inline constexpr int kTsEntryBytes = kTsPacketBytes * kTsPacketsPerEntry;  // 1316

// Receives one entry: 1 to 7 whole packets, each starting with the sync byte.
using TsEntrySink = void (*)(void* user, const uint8_t* data, int len);

struct TsAligner {
  uint8_t carry[kTsPacketBytes];  // the start of a packet not yet complete or confirmed
  int carry_len = 0;
  uint8_t entry[kTsEntryBytes];   // whole packets not yet handed out
  int entry_len = 0;
  bool locked = false;            // packet boundaries are known
  // Byte counts: fed == emitted + dropped + carry_len + entry_len at all times.
  uint64_t fed = 0;
  uint64_t emitted = 0;
  uint64_t dropped = 0;  // skipped while looking for sync
};

// Forgets everything (a new connection).
void ts_align_reset(TsAligner& a);

// Takes the next datagram's len bytes of the stream. A packet is handed out when it
// starts with the sync byte. A packet completed from bytes carried over from the previous
// datagram must also be followed by a sync byte when the datagram reaches that far (a
// datagram lost in between would otherwise splice two packets into one); one that is not
// is dropped. Where a sync byte is missing, sync is searched again: a sync byte at p with
// another at p + 188. An entry goes to sink as soon as it holds 7 packets.
void ts_align_feed(TsAligner& a, const uint8_t* data, std::size_t len, TsEntrySink sink, void* user);

// The end of a datagram: packets pending in the entry go to sink now (nothing when none).
void ts_align_flush(TsAligner& a, TsEntrySink sink, void* user);

}  // namespace kx
