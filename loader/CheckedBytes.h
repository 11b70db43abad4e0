// The one way the loader touches the bytes of an image, in the byte array or in a mapping:
// every read, write and copy is checked against the range first, with exact 64-bit offsets,
// so no field value of an image can move an access outside it.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <type_traits>

namespace loader {

template <typename Byte>
class CheckedBytes {
public:
    CheckedBytes() = default;
    CheckedBytes(Byte* data, uint64_t size) : data_(data), size_(size) {}

    uint64_t size() const { return size_; }
    Byte* data() const { return data_; }

    bool Contains(uint64_t offset, uint64_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }

    template <typename Record>
    std::optional<Record> Read(uint64_t offset) const {
        static_assert(std::is_trivially_copyable_v<Record>);
        if (!Contains(offset, sizeof(Record))) return std::nullopt;
        Record record;
        std::memcpy(&record, data_ + offset, sizeof(Record));
        return record;
    }

    template <typename Record>
    bool Write(uint64_t offset, const Record& record) const
        requires(!std::is_const_v<Byte>)
    {
        if (!Contains(offset, sizeof(Record))) return false;
        std::memcpy(data_ + offset, &record, sizeof(Record));
        return true;
    }

    // Copies length bytes from source at sourceOffset to this range at offset, or nothing.
    bool CopyFrom(uint64_t offset, CheckedBytes<const uint8_t> source, uint64_t sourceOffset,
                  uint64_t length) const
        requires(!std::is_const_v<Byte>)
    {
        if (!Contains(offset, length) || !source.Contains(sourceOffset, length)) return false;
        std::memmove(data_ + offset, source.data() + sourceOffset, length);
        return true;
    }

    // The zero-terminated text at offset, without its terminator; nothing when the range
    // ends before the terminator.
    std::optional<std::string_view> ReadText(uint64_t offset) const {
        if (offset >= size_) return std::nullopt;
        const auto* start = reinterpret_cast<const char*>(data_ + offset);
        const void* end = std::memchr(start, 0, size_ - offset);
        if (end == nullptr) return std::nullopt;
        return std::string_view(start, static_cast<const char*>(end) - start);
    }

    operator CheckedBytes<const uint8_t>() const
        requires(!std::is_const_v<Byte>)
    {
        return {data_, size_};
    }

private:
    Byte* data_ = nullptr;
    uint64_t size_ = 0;
};

using ImageBytes = CheckedBytes<const uint8_t>;
using MappingBytes = CheckedBytes<uint8_t>;

}  // namespace loader
