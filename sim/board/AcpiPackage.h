// The package encoding of the stand-in ACPI library. A package in a caller's buffer is a 32-bit
// element count followed by the elements; each element is a 32-bit type, a 32-bit data size and
// the data padded to four bytes. An element handle is the address of its header.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class ArgType : uint32_t { Integer = 1, String = 2, Buffer = 3 };

struct ArgHeader {
    ArgType type;
    uint32_t size;
};

class PackageBuilder {
public:
    PackageBuilder& Int(int32_t value);
    PackageBuilder& Str(const std::string& text);  // stored with its terminating zero
    PackageBuilder& Bytes(const std::vector<uint8_t>& data);
    uint32_t Count() const { return count_; }
    // The encoded package: count, then elements.
    std::vector<uint8_t> Build() const;

private:
    uint32_t count_ = 0;
    std::vector<uint8_t> body_;
};

// Walks an encoded package; false when the bytes are not a well-formed package.
bool ParsePackage(const uint8_t* data, uint32_t size, std::vector<const ArgHeader*>* elements);

inline const uint8_t* ArgData(const ArgHeader* h) {
    return reinterpret_cast<const uint8_t*>(h + 1);
}
inline uint32_t ArgStride(const ArgHeader* h) {
    return sizeof(ArgHeader) + ((h->size + 3) & ~3u);
}

}  // namespace sim
