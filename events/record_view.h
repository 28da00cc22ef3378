// A read-only view of an engine record: the bytes of a flat little-endian
// record, with or without a known size.
//
// The engine passes records by pointer only, so the sink reads them through
// an unbounded view and trusts the lengths inside them, as the engine
// contract allows. Tests and fuzzers pass the real size: every read is then
// checked with Has(), and a record that claims more bytes than it holds is
// dropped whole before anything is changed or reported.
#ifndef MSGLOGIC_EVENTS_RECORD_VIEW_H_
#define MSGLOGIC_EVENTS_RECORD_VIEW_H_

#include <stddef.h>
#include <stdint.h>

#include <cstring>

namespace msglogic {

class RecordView {
 public:
  static constexpr size_t kUnbounded = static_cast<size_t>(-1);

  RecordView(const void* data, size_t size)
      : data_(static_cast<const uint8_t*>(data)), size_(size) {}

  static RecordView Unbounded(const void* data) {
    return RecordView(data, kUnbounded);
  }

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool bounded() const { return size_ != kUnbounded; }

  // True when bytes [offset, offset + count) lie inside the record. In an
  // unbounded view only an offset that overflows the address arithmetic
  // fails.
  bool Has(size_t offset, size_t count) const {
    if (data_ == nullptr) return false;
    if (offset > kUnbounded - count) return false;
    if (!bounded()) {
      return offset + count <= kUnbounded - reinterpret_cast<uintptr_t>(data_);
    }
    return offset + count <= size_;
  }

  // Little-endian reads; the caller has checked Has(offset, width). On a
  // little-endian processor each is one load (the fields lie unaligned).
  uint8_t U8(size_t offset) const { return data_[offset]; }
  uint16_t U16(size_t offset) const {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint16_t value;
    std::memcpy(&value, data_ + offset, sizeof value);
    return value;
#else
    return static_cast<uint16_t>(data_[offset] | (data_[offset + 1] << 8));
#endif
  }
  uint32_t U32(size_t offset) const {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint32_t value;
    std::memcpy(&value, data_ + offset, sizeof value);
    return value;
#else
    return static_cast<uint32_t>(data_[offset]) |
           static_cast<uint32_t>(data_[offset + 1]) << 8 |
           static_cast<uint32_t>(data_[offset + 2]) << 16 |
           static_cast<uint32_t>(data_[offset + 3]) << 24;
#endif
  }
  int32_t I32(size_t offset) const {
    return static_cast<int32_t>(U32(offset));
  }
  const char* Chars(size_t offset) const {
    return reinterpret_cast<const char*>(data_ + offset);
  }

  // The rest of the record from `offset` on; the caller has checked
  // Has(offset, 0).
  RecordView From(size_t offset) const {
    return RecordView(data_ + offset, bounded() ? size_ - offset : kUnbounded);
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

}  // namespace msglogic

#endif  // MSGLOGIC_EVENTS_RECORD_VIEW_H_
