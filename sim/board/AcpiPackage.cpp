#include "AcpiPackage.h"

#include <cstring>

namespace sim {

namespace {
void Append(std::vector<uint8_t>& out, const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    out.insert(out.end(), b, b + n);
}
void AppendElement(std::vector<uint8_t>& out, ArgType type, const void* data, uint32_t size) {
    ArgHeader h{type, size};
    Append(out, &h, sizeof h);
    Append(out, data, size);
    out.resize(out.size() + (((size + 3) & ~3u) - size), 0);
}
}  // namespace

PackageBuilder& PackageBuilder::Int(int32_t value) {
    AppendElement(body_, ArgType::Integer, &value, sizeof value);
    ++count_;
    return *this;
}

PackageBuilder& PackageBuilder::Str(const std::string& text) {
    AppendElement(body_, ArgType::String, text.c_str(), static_cast<uint32_t>(text.size() + 1));
    ++count_;
    return *this;
}

PackageBuilder& PackageBuilder::Bytes(const std::vector<uint8_t>& data) {
    AppendElement(body_, ArgType::Buffer, data.data(), static_cast<uint32_t>(data.size()));
    ++count_;
    return *this;
}

std::vector<uint8_t> PackageBuilder::Build() const {
    std::vector<uint8_t> out;
    Append(out, &count_, sizeof count_);
    Append(out, body_.data(), body_.size());
    return out;
}

bool ParsePackage(const uint8_t* data, uint32_t size, std::vector<const ArgHeader*>* elements) {
    elements->clear();
    if (size < 4) return false;
    uint32_t count;
    std::memcpy(&count, data, 4);
    uint32_t pos = 4;
    for (uint32_t i = 0; i < count; ++i) {
        if (pos + sizeof(ArgHeader) > size) return false;
        const auto* h = reinterpret_cast<const ArgHeader*>(data + pos);
        if (pos + ArgStride(h) > size) return false;
        elements->push_back(h);
        pos += ArgStride(h);
    }
    return true;
}

}  // namespace sim
