// WAV reading and writing for the quality benchmark's tools (quality_measure
// and shift_sweep): 16-bit PCM (plain or extensible) and 32-bit float in,
// 16-bit out, mono or stereo; a mono file reads as two identical channels.
// Files only: nothing here touches the engine or keeps state (any thread
// may call it; it allocates and blocks, never for the audio path).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "../tests/support/test_material.h"

namespace wavio {

struct Audio {
  double rate = 0;
  quality::Stereo ch;
  double seconds() const { return ch.left.size() / rate; }
};

inline uint32_t le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
inline uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

inline Audio readWav(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot open " + path);
  std::vector<unsigned char> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) || std::memcmp(b.data() + 8, "WAVE", 4))
    throw std::runtime_error(path + ": not a RIFF/WAVE file");
  int format = 0, channels = 0, bits = 0;
  Audio a;
  bool haveFmt = false;
  for (size_t pos = 12; pos + 8 <= b.size();) {
    const uint32_t size = le32(b.data() + pos + 4);
    const unsigned char* body = b.data() + pos + 8;
    const size_t avail = std::min<size_t>(size, b.size() - pos - 8);  // tolerate a truncated last chunk
    if (!std::memcmp(b.data() + pos, "fmt ", 4) && avail >= 16) {
      format = le16(body);
      channels = le16(body + 2);
      a.rate = le32(body + 4);
      bits = le16(body + 14);
      if (format == 0xFFFE && avail >= 26) format = le16(body + 24);
      haveFmt = true;
    } else if (!std::memcmp(b.data() + pos, "data", 4)) {
      if (!haveFmt) throw std::runtime_error(path + ": data before fmt");
      if (channels < 1 || channels > 2) throw std::runtime_error(path + ": only mono or stereo");
      const bool pcm16 = format == 1 && bits == 16, float32 = format == 3 && bits == 32;
      if (!pcm16 && !float32) throw std::runtime_error(path + ": only 16-bit PCM or 32-bit float");
      const size_t bytes = bits / 8, frames = avail / (bytes * channels);
      a.ch.left.resize(frames);
      a.ch.right.resize(frames);
      for (size_t i = 0; i < frames; i++) {
        for (int c = 0; c < channels; c++) {
          const unsigned char* p = body + (i * channels + c) * bytes;
          float v;
          if (pcm16) {
            v = static_cast<float>(static_cast<int16_t>(le16(p)) / 32768.0);
          } else {
            const uint32_t u = le32(p);
            std::memcpy(&v, &u, 4);
          }
          (c == 0 ? a.ch.left : a.ch.right)[i] = v;
        }
        if (channels == 1) a.ch.right[i] = a.ch.left[i];
      }
      return a;
    }
    pos += 8 + size + (size & 1);
  }
  throw std::runtime_error(path + ": no data chunk");
}

inline void put32(std::ofstream& f, uint32_t v) {
  const unsigned char c[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                              static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
  f.write(reinterpret_cast<const char*>(c), 4);
}
inline void put16(std::ofstream& f, uint16_t v) {
  const unsigned char c[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
  f.write(reinterpret_cast<const char*>(c), 2);
}

// 16-bit stereo; the material's scale is 32768 per unit, so values already on
// the 16-bit grid (the dithered dual mono) come back unchanged.
inline void writeWav(const std::string& path, const quality::Stereo& s, double rate) {
  std::ofstream f(path, std::ios::binary);
  const uint32_t frames = static_cast<uint32_t>(s.left.size()), data = frames * 4;
  f.write("RIFF", 4);
  put32(f, 36 + data);
  f.write("WAVEfmt ", 8);
  put32(f, 16);
  put16(f, 1);
  put16(f, 2);
  put32(f, static_cast<uint32_t>(rate));
  put32(f, static_cast<uint32_t>(rate) * 4);
  put16(f, 4);
  put16(f, 16);
  f.write("data", 4);
  put32(f, data);
  for (uint32_t i = 0; i < frames; i++) {
    for (float v : {s.left[i], s.right[i]}) {
      const double q = std::round(static_cast<double>(v) * 32768.0);
      put16(f, static_cast<uint16_t>(static_cast<int16_t>(std::fmax(-32768.0, std::fmin(32767.0, q)))));
    }
  }
  if (!f) throw std::runtime_error("cannot write " + path);
}

}  // namespace wavio
