#include "protocol/log_record.h"

#include <algorithm>
#include <cstring>

namespace zq::logfmt {
namespace {

void Put16(uint8_t* p, size_t v) {
  p[0] = static_cast<uint8_t>(v & 0xFF);
  p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

void WriteHeader(const RecordTime& time, uint8_t* out) {
  out[0] = static_cast<uint8_t>(((time.year & 0xFF) + 0x30) & 0xFF);
  out[1] = time.month;
  out[2] = time.day;
  out[3] = time.hour;
  out[4] = time.minute;
  out[5] = time.second;
  Put16(out + 6, time.stamp);
}

// Reads escaped, scrambled bytes one record byte at a time.
class Reader {
 public:
  Reader(const uint8_t* raw, size_t length) : raw_(raw), length_(length) {}
  // 1 = got a byte, 0 = out of input, -1 = not a valid message byte.
  int Next(uint8_t* out) {
    if (pos_ >= length_) return 0;
    uint8_t b = raw_[pos_];
    if (b == 0x00 || b == 0x0A || b == 0xFF) return -1;
    if (b == 0xFE) {
      if (pos_ + 1 >= length_) return 0;
      switch (raw_[pos_ + 1]) {
        case 0x01: b = 0xFE; break;
        case 0x02: b = 0xFF; break;
        case 0x03: b = 0x00; break;
        case 0x04: b = 0x0A; break;
        default: return -1;
      }
      pos_ += 2;
    } else {
      pos_ += 1;
    }
    *out = b ^ kScramble;
    return 1;
  }
  size_t position() const { return pos_; }

 private:
  const uint8_t* raw_;
  size_t length_;
  size_t pos_ = 0;
};

}  // namespace

size_t BuildRecord(const RecordTime& time, std::string_view text, const uint8_t* data, size_t dataLength,
                   uint8_t* out) {
  WriteHeader(time, out);
  size_t pos = 8;
  const size_t textLength = text.size() < kTextCapacity - 1 ? text.size() : kTextCapacity - 1;
  if (textLength > 0) {
    out[pos] = 0x01;
    Put16(out + pos + 1, textLength);
    std::memcpy(out + pos + 3, text.data(), textLength);
    pos += 3 + textLength;
  }
  if (data && dataLength > 0) {
    size_t m = dataLength < kMaxData ? dataLength : kMaxData;
    // Tag, length and end tag must still fit behind the text.
    const size_t room = kRecordCapacity - pos;
    if (room <= 4) {
      m = 0;
    } else if (m > room - 4) {
      m = room - 4;
    }
    if (m > 0) {
      out[pos] = 0x02;
      Put16(out + pos + 1, m);
      std::memcpy(out + pos + 3, data, m);
      pos += 3 + m;
    }
  }
  out[pos] = 0x03;
  return pos + 1;
}

namespace {

// For each scrambled byte: 0 when it goes as it is, else the byte that
// follows FE in its place.
struct EscapeTable {
  uint8_t second[256] = {};
  constexpr EscapeTable() {
    second[0xFE] = 0x01;
    second[0xFF] = 0x02;
    second[0x00] = 0x03;
    second[0x0A] = 0x04;
  }
};
constexpr EscapeTable kEscapes;

}  // namespace

size_t ScrambleAndEscape(const uint8_t* record, size_t length, uint8_t* out) {
  size_t n = 0;
  for (size_t i = 0; i < length; ++i) {
    const uint8_t b = record[i] ^ kScramble;
    const uint8_t second = kEscapes.second[b];
    if (second == 0) {
      out[n++] = b;
    } else {
      out[n] = 0xFE;
      out[n + 1] = second;
      n += 2;
    }
  }
  return n;
}

namespace {

size_t Cost(uint8_t recordByte) { return kEscapes.second[recordByte ^ kScramble] == 0 ? 1 : 2; }

size_t CostOf(const uint8_t* bytes, size_t n) {
  size_t c = 0;
  for (size_t i = 0; i < n; ++i) c += Cost(bytes[i]);
  return c;
}

// Escaped size of a section: tag, 16-bit length, bytes.
size_t SectionCost(uint8_t tag, size_t n, size_t bytesCost) {
  if (n == 0) return 0;
  return Cost(tag) + Cost(static_cast<uint8_t>(n & 0xFF)) + Cost(static_cast<uint8_t>(n >> 8)) + bytesCost;
}

size_t EscapeSection(uint8_t tag, const uint8_t* bytes, size_t n, uint8_t* out) {
  if (n == 0) return 0;
  const uint8_t head[3] = {tag, static_cast<uint8_t>(n & 0xFF), static_cast<uint8_t>(n >> 8)};
  size_t w = ScrambleAndEscape(head, 3, out);
  return w + ScrambleAndEscape(bytes, n, out + w);
}

}  // namespace

PreparedMessage PrepareMessage(std::string_view text, const uint8_t* data, size_t dataLength) {
  const auto* t = reinterpret_cast<const uint8_t*>(text.data());
  size_t tn = text.size() < kTextCapacity - 1 ? text.size() : kTextCapacity - 1;
  size_t dn = data ? (dataLength < kMaxData ? dataLength : kMaxData) : 0;
  // The record itself must fit its buffer: header, sections, end tag.
  const size_t textRoom = 8 + (tn ? 3 + tn : 0);
  if (dn > 0) dn = kRecordCapacity - textRoom > 4 ? std::min(dn, kRecordCapacity - textRoom - 4) : 0;

  const size_t limit = kMaxMessage - kHeaderRoom;
  PreparedMessage p;
  // Every byte escapes to at most two: when even that fits, the sections
  // are escaped in one pass without counting first.
  const size_t worst = (tn ? 2 * (3 + tn) : 0) + (dn ? 2 * (3 + dn) : 0) + 2;
  size_t room = worst;
  if (worst > limit) {
    size_t textCost = CostOf(t, tn);
    size_t dataCost = CostOf(data, dn);
    auto total = [&] { return SectionCost(0x01, tn, textCost) + SectionCost(0x02, dn, dataCost) + Cost(0x03); };
    // Too long once escaped: cut the data from its end, then the text.
    while (total() > limit && dn > 0) dataCost -= Cost(data[--dn]);
    while (total() > limit && tn > 0) textCost -= Cost(t[--tn]);
    room = total();
  }
  p.bytes.resize(kHeaderRoom + room);
  size_t w = kHeaderRoom;
  w += EscapeSection(0x01, t, tn, p.bytes.data() + w);
  w += EscapeSection(0x02, data, dn, p.bytes.data() + w);
  const uint8_t end = 0x03;
  w += ScrambleAndEscape(&end, 1, p.bytes.data() + w);
  p.bytes.resize(w);
  return p;
}

size_t StampMessage(PreparedMessage& prepared, const RecordTime& time, size_t* length) {
  uint8_t header[8];
  WriteHeader(time, header);
  uint8_t escaped[kHeaderRoom];
  const size_t n = ScrambleAndEscape(header, sizeof header, escaped);
  const size_t start = kHeaderRoom - n;
  std::memcpy(prepared.bytes.data() + start, escaped, n);
  *length = prepared.bytes.size() - start;
  return start;
}

std::vector<uint8_t> BuildMessage(const RecordTime& time, std::string_view text, const uint8_t* data,
                                  size_t dataLength) {
  PreparedMessage p = PrepareMessage(text, data, dataLength);
  size_t length = 0;
  const size_t start = StampMessage(p, time, &length);
  return std::vector<uint8_t>(p.bytes.begin() + static_cast<long>(start),
                              p.bytes.begin() + static_cast<long>(start + length));
}

DecodeStatus DecodeRecord(const uint8_t* raw, size_t length, DecodedRecord* out, size_t* consumed) {
  Reader r(raw, length);
  uint8_t head[8];
  for (uint8_t& b : head) {
    int got = r.Next(&b);
    if (got <= 0) return got == 0 ? DecodeStatus::kNeedMore : DecodeStatus::kDamaged;
  }
  RecordTime& t = out->time;
  t.year = static_cast<uint16_t>(2000 + static_cast<uint8_t>(head[0]));
  t.month = head[1];
  t.day = head[2];
  t.hour = head[3];
  t.minute = head[4];
  t.second = head[5];
  t.stamp = static_cast<uint16_t>(head[6] | (head[7] << 8));
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 || t.minute > 59 || t.second > 59) {
    return DecodeStatus::kDamaged;
  }
  out->hasText = false;
  out->hasData = false;
  for (;;) {
    uint8_t tag;
    int got = r.Next(&tag);
    if (got <= 0) return got == 0 ? DecodeStatus::kNeedMore : DecodeStatus::kDamaged;
    if (tag == 0x03) break;
    // The text comes first, the data second, each at most once.
    if (tag != 0x01 && tag != 0x02) return DecodeStatus::kDamaged;
    if (tag == 0x01 && (out->hasText || out->hasData)) return DecodeStatus::kDamaged;
    if (tag == 0x02 && out->hasData) return DecodeStatus::kDamaged;
    uint8_t len[2];
    for (uint8_t& b : len) {
      got = r.Next(&b);
      if (got <= 0) return got == 0 ? DecodeStatus::kNeedMore : DecodeStatus::kDamaged;
    }
    const size_t n = static_cast<size_t>(len[0] | (len[1] << 8));
    if (n == 0 || n > (tag == 0x01 ? kTextCapacity - 1 : kMaxData)) return DecodeStatus::kDamaged;
    std::vector<uint8_t> bytes(n);
    for (uint8_t& b : bytes) {
      got = r.Next(&b);
      if (got <= 0) return got == 0 ? DecodeStatus::kNeedMore : DecodeStatus::kDamaged;
    }
    if (tag == 0x01) {
      out->hasText = true;
      out->text.assign(bytes.begin(), bytes.end());
    } else {
      out->hasData = true;
      out->data = std::move(bytes);
    }
  }
  *consumed = r.position();
  return DecodeStatus::kOk;
}

}  // namespace zq::logfmt
