// H.264 in Annex B form: start codes, NAL units, the parameter sets players need before
// the first picture, and the AVC sequence header that carries them in FLV and RTMP.
#pragma once
#include <cstdint>

namespace kx {

// The AVC sequence header a channel hands to its FLV, RTMP and TS outputs. Built from
// MPEG-TS it is the FLV video tag body; FLV and RTMP inputs keep the same body behind a
// 12-byte RTMP chunk header (avc_config_from_flv_tag). len 0: nothing captured yet.
constexpr int kAvcConfigCapacity = 1452;
struct AvcConfig {
  uint8_t header[kAvcConfigCapacity];
  int len = 0;
};

// A NAL unit is never taken to be longer than this (the bytes of one TS entry).
constexpr int kNalMaxLength = 1316;
// The RTMP chunk header in front of the tag body in the FLV/RTMP form.
constexpr int kAvcRtmpPrefix = 12;

constexpr int kNalSlice = 1, kNalIdr = 5, kNalSei = 6, kNalSps = 7, kNalPps = 8, kNalAud = 9;

// Offset just after the next 00 00 01 or 00 00 00 01 in p[0, len); 0 when no start code
// begins more than 4 bytes before the end.
int h264_find_start_code(const uint8_t* p, int len);

// Bytes of the NAL unit starting at p (its header byte) up to the next start code, or to
// the end of the buffer; never more than kNalMaxLength.
int h264_nal_length(const uint8_t* p, int len);

// Offset of the start code that introduces the first NAL unit of type 1, 5 or 6 (where a
// stream may be cut so that it begins with a picture); -1 when there is none.
int h264_find_frame_start(const uint8_t* p, int len);

// Sequence header in tag-body form from one SPS and one PPS NAL unit (header byte
// included). 1 on success; 0, with cfg.len 0, when either is empty, the SPS is shorter
// than its 4 fixed bytes or the result would not fit the field.
int avc_config_build(const uint8_t* sps, int sps_len, const uint8_t* pps, int pps_len, AvcConfig& cfg);

// The first SPS and the PPS that follows it in Annex B bytes (a PES payload). The PPS
// must end at a start code unless `ends_at_unit_end` says the bytes end where the last
// NAL unit does. 1 on success; 0 with cfg.len 0 otherwise.
int avc_config_from_annexb(const uint8_t* es, int len, bool ends_at_unit_end, AvcConfig& cfg);

// Capture from the first MPEG-TS entry (whole 188-byte packets; leading junk and lost
// sync are skipped): the first video PES (stream id 0xE0-0xEF) whose payload, gathered
// across the packets of its PID, holds an SPS followed by a PPS. 1 on success; 0 with
// cfg.len 0 when the entry does not hold both.
int avc_config_from_ts(const uint8_t* ts, int len, AvcConfig& cfg);

// The FLV/RTMP form: a 12-byte RTMP chunk header (chunk stream 6, timestamp 0, the tag's
// data size, message type 9, message stream 1) followed by the tag data. 1 on success;
// 0 (logged) when the data is empty or would not fit the field.
int avc_config_from_flv_tag(const uint8_t* data, int size, AvcConfig& cfg);

// Annex B form of a sequence header body (tag-body form; pass header + 12 for the RTMP
// form): 00 00 00 01 SPS 00 00 00 01 PPS for every parameter set it lists. Bytes written
// (SPS + PPS + 8 for the usual one of each), 0 when the body is malformed or out is too small.
int avc_config_to_annexb(const uint8_t* body, int len, uint8_t* out, int cap);

}  // namespace kx
